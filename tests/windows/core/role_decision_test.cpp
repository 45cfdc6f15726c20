// The role decision with real processes: the named parent must be a live
// process of this very executable file, however its path is written.
#include "core_test_helpers.h"
#include "launcher.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The three ways to reach this test program: its own path, the same path with
// the folder in its short form, and a symbolic link in another folder.
std::wstring long_form() { return own_executable_path(); }

std::wstring short_form()
{
    std::wstring folder = test_binary_directory();
    wchar_t shortened[MAX_PATH * 4];
    DWORD length = GetShortPathNameW(folder.c_str(), shortened, MAX_PATH * 4);
    EXPECT_GT(length, 0u);
    return std::wstring(shortened, length) + L"\\core_tests.exe";
}

std::wstring link_form() { return test_binary_directory() + L"\\..\\via_link\\core_tests_link.exe"; }

// Runs the helper `role` through `program` and returns what it decided.
std::string role_through(const std::wstring &program, const std::optional<std::wstring> &parent)
{
    ProcessOptions options;
    options.environment[L"VESKAR_ONEFILE_PARENT"] = parent;
    ProcessResult result = run_process(program, quote_for_test(program) + L" --helper role", options);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    if (result.out.size() >= 2)
        result.out.resize(result.out.size() - 2);  // the "\r\n"
    return result.out;
}

// A copy of this program that runs until it is told to stop, started through
// a chosen path; it signals once it is up, so its module can be read.
struct Waiter {
    PROCESS_INFORMATION process = {};

    explicit Waiter(const std::wstring &program)
    {
        static int counter = 0;
        std::wstring ready = L"veskar_core_ready_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                             std::to_wstring(counter++);
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, ready.c_str());
        std::wstring line = quote_for_test(program) + L" --helper wait " + ready;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        EXPECT_TRUE(CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                   &startup, &process));
        EXPECT_EQ(WaitForSingleObject(event, scaled_timeout(30000)), WAIT_OBJECT_0);
        CloseHandle(event);
    }

    ~Waiter()
    {
        TerminateProcess(process.hProcess, 0);
        WaitForSingleObject(process.hProcess, scaled_timeout(30000));
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    std::wstring pid() const { return std::to_wstring(process.dwProcessId); }
};

}  // namespace

TEST(RoleDecision, ThePathFormsReallyDiffer)
{
    // Otherwise the tests below would not show anything about path forms.
    EXPECT_NE(short_form(), long_form());
    EXPECT_TRUE(path_exists(short_form()));
    EXPECT_TRUE(path_exists(link_form()));
}

TEST(RoleDecision, ParentIsThisTestProgram)
{
    std::wstring self = std::to_wstring(GetCurrentProcessId());
    EXPECT_EQ(role_through(long_form(), self), "child");
    EXPECT_EQ(role_through(short_form(), self), "child");
    EXPECT_EQ(role_through(link_form(), self), "child");
    // The number parser takes a leading sign or blank.
    EXPECT_EQ(role_through(long_form(), L"+" + self), "child");
    EXPECT_EQ(role_through(long_form(), L" " + self), "child");
}

TEST(RoleDecision, ParentStartedThroughAnotherPathForm)
{
    for (const std::wstring &parent_form : {link_form(), short_form()}) {
        Waiter parent(parent_form);
        EXPECT_EQ(role_through(long_form(), parent.pid()), "child") << narrow(parent_form);
        EXPECT_EQ(role_through(link_form(), parent.pid()), "child") << narrow(parent_form);
        EXPECT_EQ(role_through(short_form(), parent.pid()), "child") << narrow(parent_form);
    }
}

TEST(RoleDecision, AnythingElseIsTheParentRole)
{
    Waiter live(long_form());
    ASSERT_EQ(role_through(long_form(), live.pid()), "child");
    unsigned long long pid = std::stoull(live.pid());

    EXPECT_EQ(role_through(long_form(), std::nullopt), "parent");
    EXPECT_EQ(role_through(long_form(), L""), "parent");
    EXPECT_EQ(role_through(long_form(), L"junk"), "parent");
    EXPECT_EQ(role_through(long_form(), live.pid() + L"a"), "parent");
    EXPECT_EQ(role_through(long_form(), live.pid() + L" "), "parent");
    // Above 4294967295: out of range, even where it would wrap to the live process.
    EXPECT_EQ(role_through(long_form(), std::to_wstring(pid + 4294967296ull)), "parent");
    EXPECT_EQ(role_through(long_form(), L"99999999999999999999"), "parent");

    // Another executable file, even one with the same bytes: a copy elsewhere.
    std::wstring folder = make_scratch_directory(L"copy");
    std::wstring copy = folder + L"\\core_tests.exe";
    ASSERT_TRUE(CopyFileW(long_form().c_str(), copy.c_str(), TRUE));
    {
        Waiter other(copy);
        EXPECT_EQ(role_through(long_form(), other.pid()), "parent");
        EXPECT_EQ(role_through(copy, live.pid()), "parent");
        EXPECT_EQ(role_through(copy, other.pid()), "child");
    }
    remove_tree(folder);
}

TEST(RoleDecision, ExitedProcessIsNoParent)
{
    // The handle stays open, so the identifier cannot go to a new process.
    std::wstring self = long_form();
    std::wstring line = quote_for_test(self) + L" --helper exit_at_once";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(self.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    ASSERT_EQ(WaitForSingleObject(process.hProcess, scaled_timeout(30000)), WAIT_OBJECT_0);
    EXPECT_EQ(role_through(self, std::to_wstring(process.dwProcessId)), "parent");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

TEST(ExecutablePath, NormalFormOfThisProgram)
{
    reset_launcher_state();
    std::wstring canonical = get_launcher_path(true);
    EXPECT_FALSE(canonical.empty());
    for (const std::wstring &form : {long_form(), short_form(), link_form(), L"\\\\?\\" + long_form()}) {
        wchar_t path[2048] = L"";
        copy_wide_text(path, form.c_str(), 2048);
        normalize_executable_path(path, 2048);
        EXPECT_EQ(std::wstring(path), canonical) << narrow(form);
    }
    // Only the folder is shortened; the file name keeps its long form.
    EXPECT_EQ(canonical.substr(canonical.size() - 15), L"\\core_tests.exe");
    wchar_t expected_folder[MAX_PATH * 4];
    std::wstring folder = canonical.substr(0, canonical.size() - 15);
    DWORD length = GetShortPathNameW(folder.c_str(), expected_folder, MAX_PATH * 4);
    EXPECT_EQ(folder, std::wstring(expected_folder, length));
}

TEST(ExecutablePath, PathsThatCannotBeOpened)
{
    // Without an open file there is no resolution and no prefix stripping.
    for (const wchar_t *path : {L"\\\\?\\C:\\veskar_no_such_folder\\tool.exe",
                                L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\tool.exe",
                                L"veskar_no_such_tool.exe", L"C:\\veskar_no_such_folder\\Tool.EXE"}) {
        wchar_t buffer[2048] = L"";
        copy_wide_text(buffer, path, 2048);
        normalize_executable_path(buffer, 2048);
        EXPECT_STREQ(buffer, path);
    }
}

TEST(ExecutablePath, ShortenDirectoryPart)
{
    std::wstring folder = make_scratch_directory(L"long folder name with spaces");
    std::wstring file = folder + L"\\A Long File Name.txt";
    write_file(file, "x");
    wchar_t short_folder[MAX_PATH * 4];
    DWORD length = GetShortPathNameW(folder.c_str(), short_folder, MAX_PATH * 4);
    ASSERT_GT(length, 0u);
    ASSERT_NE(std::wstring(short_folder, length), folder);

    wchar_t buffer[2048] = L"";
    copy_wide_text(buffer, file.c_str(), 2048);
    shorten_directory_part(buffer, 2048);
    EXPECT_EQ(std::wstring(buffer), std::wstring(short_folder, length) + L"\\A Long File Name.txt");

    // A path without a backslash is converted as a whole; nothing is appended.
    copy_wide_text(buffer, L"no_separator_here.txt", 2048);
    shorten_directory_part(buffer, 2048);
    EXPECT_STREQ(buffer, L"no_separator_here.txt");
    remove_tree(folder);
}

TEST(ExecutablePath, LauncherPathIsCachedPerVariant)
{
    reset_launcher_state();
    const wchar_t *plain = get_launcher_path(false);
    EXPECT_EQ(plain, launcher_state.plain_launcher_path);
    EXPECT_EQ(std::wstring(plain), own_executable_path());
    const wchar_t *resolved = get_launcher_path(true);
    EXPECT_EQ(resolved, launcher_state.resolved_launcher_path);
    // The plain variant keeps the long folder names after the resolved one exists.
    EXPECT_EQ(std::wstring(get_launcher_path(false)), own_executable_path());
    EXPECT_NE(std::wstring(resolved), std::wstring(plain));

    // Once filled, a variant is returned as it stands, without asking the system again.
    launcher_state.plain_launcher_path[0] = L'Q';
    launcher_state.resolved_launcher_path[0] = L'R';
    EXPECT_EQ(get_launcher_path(false), plain);
    EXPECT_EQ(get_launcher_path(false)[0], L'Q');
    EXPECT_EQ(get_launcher_path(true)[0], L'R');
}

TEST(ExecutablePath, UnterminatedBufferAborts)
{
    ProcessResult result = run_helper("normalize_unterminated");
    EXPECT_EQ(result.exit_code, 3u);
}

VESKAR_HELPER(role)
{
    printf("%s\n", decide_role() ? "child" : "parent");
    return 0;
}

VESKAR_HELPER(exit_at_once)
{
    return 0;
}

VESKAR_HELPER(wait)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments.at(0).c_str());
    SetEvent(ready);
    Sleep(INFINITE);
    return 0;
}

VESKAR_HELPER(normalize_unterminated)
{
    wchar_t path[8];
    for (wchar_t &unit : path)
        unit = L'x';
    normalize_executable_path(path, 8);
    return 0;
}
