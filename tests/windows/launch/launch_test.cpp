// The launcher end to end: real launchers, packed from the test libraries in
// this folder, started the way a user or a shell starts them. What is checked
// is what a user sees: output, exit status, files left behind.
#include "launcher.h"
#include "test_support.h"

#include "common/xxhash.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::wstring launcher(const wchar_t *name)
{
    return test_binary_directory() + L"\\" + name + L".exe";
}

std::wstring command_line(const std::wstring &argument0, const std::vector<std::wstring> &arguments)
{
    std::wstring line = quote_for_test(argument0);
    for (const std::wstring &argument : arguments)
        line += L" " + quote_for_test(argument);
    return line;
}

// The launcher's temporary directory moved into a scratch folder of the
// test, so that everything the launcher leaves behind can be seen there.
ProcessOptions with_temp(const std::wstring &temp)
{
    ProcessOptions options;
    options.environment[L"TEMP"] = temp;
    options.environment[L"TMP"] = temp;
    return options;
}

ProcessResult run_launcher(const std::wstring &executable, const std::vector<std::wstring> &arguments,
                           const ProcessOptions &options = {})
{
    return run_process(executable, command_line(executable, arguments), options);
}

// probe.dll reports "key: value" lines.
using Report = std::vector<std::pair<std::string, std::string>>;

Report parse_report(const std::string &out)
{
    Report lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        std::string line = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? out.size() : end + 1;
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    return lines;
}

std::vector<std::string> values_of(const Report &report, const std::string &key)
{
    std::vector<std::string> values;
    for (const auto &[name, value] : report) {
        if (name == key)
            values.push_back(value);
    }
    return values;
}

std::string value_of(const Report &report, const std::string &key)
{
    std::vector<std::string> values = values_of(report, key);
    return values.size() == 1 ? values[0] : "(" + std::to_string(values.size()) + " values)";
}

std::wstring from_hex(const std::string &text)
{
    std::wstring out;
    for (size_t i = 0; i + 4 <= text.size(); i += 4)
        out += static_cast<wchar_t>(std::stoul(text.substr(i, 4), nullptr, 16));
    return out;
}

// `count` starts of `executable` with the argument "args" at once, all
// with `temp` as their temporary directory.
std::vector<ProcessResult> run_at_once(size_t count, const std::wstring &executable, const std::wstring &temp,
                                       const std::map<std::wstring, std::optional<std::wstring>> &environment = {})
{
    ProcessOptions options = with_temp(temp);
    options.environment.insert(environment.begin(), environment.end());
    std::vector<ProcessResult> results(count);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < count; i++)
        threads.emplace_back([&, i] { results[i] = run_launcher(executable, {L"args"}, options); });
    for (std::thread &thread : threads)
        thread.join();
    return results;
}

std::wstring parent_of(const std::wstring &path)
{
    return path.substr(0, path.find_last_of(L'\\'));
}

// What the arguments tests push through the launcher: every way a command
// line can lose or change an argument.
const std::vector<std::wstring> tricky_arguments = {
    L"plain",
    L"two words",
    L"tab\there",
    L"line\nfeed and\vvertical tab",
    L"",
    L" ",
    L"  leading and trailing  ",
    L"say \"hi\"",
    L"\"",
    L"\"\"",
    L"a\"b",
    L"back\\slash\\in\\the middle",
    L"ends with backslash\\",
    L"ends with two\\\\",
    L"C:\\dir\\",
    L"\\\\server\\share with space\\",
    L"two backslashes then quote \\\\\" done",
    L"\\\\\"",
    L"\\\"",
    L"& | < > ^ %PATH% !x!",
    L"a&b|c<d>e^f%g",
    L"na\u00efve caf\u00e9 \u0436\u0443\u043a \u6f22\u5b57 \U0001F600",
    L"--exit",
};

std::wstring quoted_by_launcher(const std::vector<std::wstring> &elements)
{
    static wchar_t line[command_line_capacity];
    line[0] = L'\0';
    size_t length = 0;
    for (size_t i = 0; i < elements.size(); i++) {
        if (i > 0) {
            line[length++] = L' ';
            line[length] = L'\0';
        }
        append_quoted_argument(line, length, command_line_capacity, elements[i].c_str());
    }
    return line;
}

std::vector<std::wstring> split_by_shell_rules(const std::wstring &line)
{
    int count = 0;
    wchar_t **split = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> out;
    for (int i = 0; i < count; i++)
        out.push_back(split[i]);
    LocalFree(split);
    return out;
}

}  // namespace

// ---------------------------------------------------------------- arguments

// The launcher splits its own command line as CommandLineToArgvW does,
// without loading the shell: compared on every line of up to eight units
// over the units that matter.
TEST(Arguments, OwnSplitAgreesWithCommandLineToArgvW)
{
    const wchar_t alphabet[] = {L'a', L' ', L'\t', L'\\', L'"'};
    static wchar_t argument[command_line_capacity];
    size_t compared = 0;
    for (size_t length = 1; length <= 8; length++) {
        size_t lines = 1;
        for (size_t i = 0; i < length; i++)
            lines *= 5;
        for (size_t n = 0; n < lines; n++) {
            std::wstring line = L"p";  // argument 0 as a launcher is started
            for (size_t i = 0, rest = n; i < length; i++, rest /= 5)
                line += alphabet[rest % 5];
            std::vector<std::wstring> ours;
            const wchar_t *cursor = line.c_str();
            for (bool first = true; split_next_argument(cursor, argument, command_line_capacity, first); first = false)
                ours.push_back(argument);
            ASSERT_EQ(ours, split_by_shell_rules(line)) << narrow(line);
            compared++;
        }
    }
    // Argument 0 is taken up to its closing quote or the first blank.
    for (const wchar_t *line : {L"\"C:\\a b\\x.exe\" y", L"C:\\a\"b c", L"\"open", L"\"\" x", L"a\\\"b c"}) {
        std::vector<std::wstring> ours;
        const wchar_t *cursor = line;
        for (bool first = true; split_next_argument(cursor, argument, command_line_capacity, first); first = false)
            ours.push_back(argument);
        EXPECT_EQ(ours, split_by_shell_rules(line)) << narrow(line);
    }
    EXPECT_GT(compared, 400000u);
}

TEST(Arguments, QuotedLineSplitsBackByShellRules)
{
    std::vector<std::wstring> elements = {L"C:\\Program Files\\app\\launcher.exe"};
    elements.insert(elements.end(), tricky_arguments.begin(), tricky_arguments.end());
    // One at a time, so a failure names its argument, then all together.
    for (const std::wstring &argument : tricky_arguments) {
        std::vector<std::wstring> pair = {elements[0], argument};
        EXPECT_EQ(split_by_shell_rules(quoted_by_launcher(pair)), pair) << narrow(argument);
    }
    EXPECT_EQ(split_by_shell_rules(quoted_by_launcher(elements)), elements);
}

// The same in a per-run launcher's child, in a reusing launcher's own
// process (at its first start and at a later one) and in its child: only
// the process number tells them apart.
TEST(Arguments, ReachTheApplicationExactly)
{
    const struct {
        const wchar_t *name;
        bool reused, own_process;
    } modes[] = {{L"probe", false, false},
                 {L"probe_kept", true, true},
                 {L"probe_kept", true, true},
                 {L"probe_kept_child", true, false}};
    std::wstring temp = make_scratch_directory(L"arguments");
    std::vector<std::wstring> arguments = {L"args"};
    arguments.insert(arguments.end(), tricky_arguments.begin(), tricky_arguments.end());
    for (const auto &mode : modes) {
        std::wstring probe = launcher(mode.name);
        ProcessResult result = run_launcher(probe, arguments, with_temp(temp));
        ASSERT_EQ(result.exit_code, 0u) << narrow(mode.name) << result.out << result.err;
        Report report = parse_report(result.out);
        std::vector<std::wstring> received;
        for (const std::string &value : values_of(report, "argument"))
            received.push_back(from_hex(value));
        ASSERT_EQ(received.size(), arguments.size() + 1) << result.out;
        // Argument 0 is the launcher's own path.
        EXPECT_EQ(received[0], probe);
        for (size_t i = 0; i < arguments.size(); i++)
            EXPECT_EQ(received[i + 1], arguments[i]) << "argument " << i + 1 << ": " << narrow(arguments[i]);
        EXPECT_EQ(value_of(report, "count"), std::to_string(arguments.size() + 1));
        EXPECT_EQ(from_hex(value_of(report, "VESKAR_ONEFILE_DIRECTORY")), test_binary_directory());
        EXPECT_EQ(from_hex(value_of(report, "VESKAR_ORIGINAL_ARGV0")), probe);
        EXPECT_EQ(narrow(from_hex(value_of(report, "VESKAR_ONEFILE_PARENT"))) == value_of(report, "process"),
                  mode.own_process)
            << narrow(mode.name);
        std::string tree = value_of(report, "VESKAR_ONEFILE_TREE");
        if (mode.reused)
            EXPECT_EQ(from_hex(tree), parent_of(from_hex(value_of(report, "library"))));
        else
            EXPECT_EQ(tree, "unset");
        EXPECT_EQ(result.err, "");
    }
    remove_tree(temp);
}

TEST(Arguments, OriginalArgumentZeroIsPublishedAsGiven)
{
    std::wstring probe = launcher(L"probe");
    // Started under another name, quoted, with a space.
    ProcessResult aliased = run_process(probe, L"\"some dir\\alias name.exe\" args x");
    ASSERT_EQ(aliased.exit_code, 0u) << aliased.out << aliased.err;
    Report report = parse_report(aliased.out);
    EXPECT_EQ(from_hex(value_of(report, "VESKAR_ORIGINAL_ARGV0")), L"some dir\\alias name.exe");
    std::vector<std::string> received = values_of(report, "argument");
    ASSERT_EQ(received.size(), 3u) << aliased.out;
    EXPECT_EQ(from_hex(received[0]), probe);
    EXPECT_EQ(from_hex(received[2]), L"x");

    // Started by a relative name from its own folder.
    ProcessOptions options;
    options.current_directory = test_binary_directory();
    ProcessResult relative = run_process(probe, L"probe.exe args", options);
    ASSERT_EQ(relative.exit_code, 0u) << relative.out << relative.err;
    report = parse_report(relative.out);
    EXPECT_EQ(from_hex(value_of(report, "VESKAR_ORIGINAL_ARGV0")), L"probe.exe");
    received = values_of(report, "argument");
    ASSERT_EQ(received.size(), 2u) << relative.out;
    EXPECT_EQ(from_hex(received[0]), probe);
}

TEST(Arguments, LauncherInAFolderWithSpacesIsQuotedForTheChild)
{
    std::wstring folder = make_scratch_directory(L"space") + L"\\dir with space";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring copy = folder + L"\\probe copy.exe";
    ASSERT_TRUE(CopyFileW(launcher(L"probe").c_str(), copy.c_str(), FALSE));
    ProcessResult result = run_launcher(copy, {L"args", L"after"});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    Report report = parse_report(result.out);
    std::vector<std::string> received = values_of(report, "argument");
    ASSERT_EQ(received.size(), 3u) << result.out;
    EXPECT_EQ(from_hex(received[0]), copy);
    EXPECT_EQ(from_hex(received[1]), L"args");
    EXPECT_EQ(from_hex(received[2]), L"after");
    EXPECT_EQ(from_hex(value_of(report, "VESKAR_ONEFILE_DIRECTORY")), folder);
}

// ------------------------------------------------------------ exit statuses

TEST(ExitStatus, ApplicationResultBecomesTheLaunchersInFull)
{
    // 259 is STILL_ACTIVE, the value a running process reports.
    const DWORD statuses[] = {0, 1, 3, 42, 259, 0xC0000005, 0xFFFFFFFF};
    for (const wchar_t *name : {L"probe", L"probe_kept"}) {
        for (DWORD status : statuses) {
            std::wstring temp = make_scratch_directory(L"status");
            ProcessResult result = run_launcher(launcher(name), {L"exit", std::to_wstring(status)}, with_temp(temp));
            EXPECT_FALSE(result.timed_out) << status;
            EXPECT_EQ(result.exit_code, status) << narrow(name) << result.out << result.err;
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "");
            EXPECT_TRUE(list_directory(temp, L"onefile_").empty()) << "left behind after status " << status;
        }
    }
}

// --------------------------------------------------------- library failures

#ifdef VESKAR_HAVE_CRAFTED_ARCHIVES
TEST(LibraryFailure, FirstRecordThatIsNotALibrary)
{
    std::wstring temp = make_scratch_directory(L"notlib");
    ProcessResult result = run_launcher(launcher(L"not_library"), {}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    // "Error, load DLL. ([Error N] text)" with the system's own text for N.
    const std::string head = "Error, load DLL. ([Error ";
    ASSERT_EQ(result.err.compare(0, head.size(), head), 0) << result.err;
    long code = std::stol(result.err.substr(head.size()));
    EXPECT_NE(code, 0);
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, static_cast<DWORD>(code), 1033, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string system_text = length > 0 ? std::string(text, length) : "";
    LocalFree(text);
    while (!system_text.empty() && (system_text.back() == '\r' || system_text.back() == '\n'))
        system_text.pop_back();
    EXPECT_EQ(result.err, head + std::to_string(code) + "] " + system_text + ")\r\n");
    EXPECT_TRUE(list_directory(temp, L"onefile_").empty());
}

TEST(LibraryFailure, LibraryWithoutRunCode)
{
    std::wstring temp = make_scratch_directory(L"noentry");
    ProcessResult result = run_launcher(launcher(L"no_entry"), {L"x"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(list_directory(temp, L"onefile_").empty());
}

TEST(LibraryFailure, ArchiveWithoutAnyRecord)
{
    std::wstring temp = make_scratch_directory(L"norecords");
    ProcessResult result = run_launcher(launcher(L"no_records"), {}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, attached data holds no application library.\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(list_directory(temp, L"onefile_").empty());
}
#endif

// ------------------------------------------------------------- search order

// Each search order test runs the per-run launcher and its reusing twin,
// which loads the library in its own process: the order is the same.
namespace {

ProcessResult run_both_ways(const wchar_t *name, bool reused, const std::wstring &current_directory = L"")
{
    std::wstring temp = make_scratch_directory(L"search");
    ProcessOptions options = with_temp(temp);
    options.current_directory = current_directory;
    ProcessResult result = run_launcher(launcher((std::wstring(name) + (reused ? L"_kept" : L"")).c_str()), {}, options);
    remove_tree(temp);
    return result;
}

}  // namespace

TEST(SearchOrder, DependencyComesFromTheUnpackDirectoryNotTheCurrentOne)
{
    // The current directory holds another origin_dep.dll.
    std::wstring planted = test_binary_directory() + L"\\planted";
    ASSERT_TRUE(path_exists(planted + L"\\origin_dep.dll"));
    for (bool reused : {false, true}) {
        ProcessResult result = run_both_ways(L"search", reused, planted);
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        EXPECT_EQ(result.out, "dependency: unpack directory\n") << reused;
    }
}

TEST(SearchOrder, DependencyOnlyInTheCurrentDirectoryIsNotFound)
{
    std::wstring planted = test_binary_directory() + L"\\planted";
    ASSERT_TRUE(path_exists(planted + L"\\orphan_dep.dll"));
    for (bool reused : {false, true}) {
        ProcessResult result = run_both_ways(L"orphan", reused, planted);
        EXPECT_EQ(result.exit_code, 2u) << reused;
        EXPECT_EQ(result.out, "");
        // ERROR_MOD_NOT_FOUND: the library's own dependency is missing.
        EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << result.err;
    }
}

TEST(SearchOrder, LibraryInASubfolderFindsItsNeighboursAndTheUnpackDirectory)
{
    for (bool reused : {false, true}) {
        ProcessResult result = run_both_ways(L"layered", reused);
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        EXPECT_EQ(result.out, "dependency: lib folder\ndependency: unpack directory\n") << reused;
    }
}

// ------------------------------------------------------------------ cleanup

TEST(Cleanup, UnpackDirectoryIsGoneAfterANormalEnd)
{
    std::wstring temp = make_scratch_directory(L"normal");
    ProcessResult result = run_launcher(launcher(L"probe"), {L"args"}, with_temp(temp));
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    std::wstring library = from_hex(value_of(parse_report(result.out), "library"));
    EXPECT_EQ(parent_of(parent_of(library)), temp);
    EXPECT_EQ(library.substr(library.size() - 10), L"\\probe.dll");
    EXPECT_FALSE(path_exists(parent_of(library)));
    EXPECT_TRUE(list_directory(temp).empty());
}

// Holds a file open, without letting anyone delete it, until told to let go.
VESKAR_HELPER(hold_file)
{
    if (arguments.size() != 3)
        return 120;
    HANDLE file = CreateFileW(arguments[0].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments[1].c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, arguments[2].c_str());
    if (file == INVALID_HANDLE_VALUE || ready == nullptr || release == nullptr)
        return 121;
    SetEvent(ready);
    WaitForSingleObject(release, scaled_timeout(120000));
    CloseHandle(file);
    return 0;
}

TEST(Cleanup, FileHeldOpenByAnotherProcessLeavesTheDirectoryAndKeepsTheStatus)
{
    std::wstring temp = make_scratch_directory(L"held");
    std::wstring release_name = L"veskar_test_release_" + std::to_wstring(GetCurrentProcessId());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, release_name.c_str());
    ASSERT_NE(release, nullptr);
    ProcessResult result =
        run_launcher(launcher(L"probe"), {L"hold", own_executable_path(), release_name, L"42"}, with_temp(temp));
    Report report = parse_report(result.out);
    EXPECT_EQ(value_of(report, "held"), "yes") << result.out << result.err;
    EXPECT_EQ(result.exit_code, 42u);
    std::wstring library = from_hex(value_of(report, "library"));
    ASSERT_EQ(parent_of(parent_of(library)), temp);
    // The launcher gave up on the directory and ended normally.
    EXPECT_TRUE(path_exists(parent_of(library)));
    EXPECT_TRUE(path_exists(parent_of(library) + L"\\data\\note.txt"));

    SetEvent(release);
    for (DWORD waited = 0; path_exists(parent_of(library)) && waited < scaled_timeout(30000); waited += 50) {
        remove_tree(parent_of(library));
        Sleep(50);
    }
    EXPECT_FALSE(path_exists(parent_of(library)));
    CloseHandle(release);
}

// ------------------------------------------------------------ nested child

TEST(NestedChild, SecondRunFromInsideTheApplicationUsesTheExistingDirectory)
{
    std::wstring temp = make_scratch_directory(L"nested");
    ProcessResult result = run_launcher(launcher(L"probe"), {L"nest"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 5u) << result.out << result.err;
    Report report = parse_report(result.out);
    std::wstring library = from_hex(value_of(report, "library"));
    EXPECT_EQ(parent_of(parent_of(library)), temp);
    // The same library from the same directory, and the note as the
    // application changed it: nothing was unpacked again.
    EXPECT_EQ(from_hex(value_of(report, "nested library")), library);
    EXPECT_EQ(value_of(report, "nested note"), "changed by the application");
    EXPECT_EQ(value_of(report, "nested status"), "5");
    EXPECT_TRUE(list_directory(temp).empty());
}

// The launcher named in the first argument runs its application once and
// leaves nothing, even where its child cannot check the parent: under a
// tracer (tracer_test.sh runs this helper under strace, and reading another
// process's memory then fails), or when no other process may open the
// parent (second argument "unopenable": as security software that filters
// process access, or a parent at a higher integrity level, makes it). A
// child that took the parent role would unpack again and start a child of
// its own, and so on without end.
VESKAR_HELPER(launch_once)
{
    std::wstring temp = make_scratch_directory(L"once");
    ProcessOptions options = with_temp(temp);
    options.timeout_ms = 60000;
    PSECURITY_DESCRIPTOR nobody = nullptr;
    SECURITY_ATTRIBUTES process_security = {sizeof process_security, nullptr, FALSE};
    if (arguments.size() > 1 && arguments[1] == L"unopenable" &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &nobody, nullptr)) {
        process_security.lpSecurityDescriptor = nobody;
        options.process_security = &process_security;
    }
    ProcessResult result = run_launcher(arguments.at(0), {L"args"}, options);
    size_t runs = values_of(parse_report(result.out), "library").size();
    std::vector<std::wstring> left = list_directory(temp);
    printf("status %lu, application runs %zu, entries left %zu\n", static_cast<unsigned long>(result.exit_code), runs,
           left.size());
    return result.exit_code == 0 && runs == 1 && left.empty() ? 0 : 1;
}

TEST(NestedChild, ALauncherThatNoOtherProcessMayOpenRunsItsApplicationOnce)
{
    ProcessResult result = run_helper("launch_once", {launcher(L"probe"), L"unopenable"});
    EXPECT_EQ(result.exit_code, 0u) << result.out;
}

// ---------------------------------------------------------------- unpacking

TEST(Unpacking, EveryFileArrivesByteForByte)
{
    std::wstring temp = make_scratch_directory(L"tree");
    ProcessResult result = run_launcher(launcher(L"tree"), {L"verify"}, with_temp(temp));
    Report report = parse_report(result.out);
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_TRUE(values_of(report, "problem").empty()) << result.out;
    EXPECT_EQ(value_of(report, "files checked"), "1112");
    EXPECT_GT(std::stoi("0" + value_of(report, "directories")), 1024);
    EXPECT_TRUE(list_directory(temp).empty());
}

#ifdef VESKAR_HAVE_CRAFTED_ARCHIVES
namespace {

// The unpack directory's own name, random in every run, as "*".
std::string without_unpack_directory_name(std::string text)
{
    for (size_t at = text.find("\\onefile_"); at != std::string::npos; at = text.find("\\onefile_", at + 1))
        text.replace(at + 1, text.find('\\', at + 1) - at - 1, "*");
    return text;
}

struct OneThreadCase {
    const wchar_t *launcher;    // also linked as <launcher>_one, with one unpacking thread
    const wchar_t *argument;    // "verify": the application checks the tree and reports "files checked"
    DWORD status;
    std::string out, err;       // with the unpack directory's path as "TEMP\*"; out unchecked for "verify"
};

}  // namespace

// The writer pool and the one-thread loop end the same way: the first
// failing record in the stream decides, even while files before it are still
// being written when a later record fails; a record at the name of one
// already written is refused, never written over it.
TEST(Unpacking, WriterPoolAndOneThreadEndTheSameWay)
{
    const std::string long_name = std::string(300, 'n') + ".bin";
    const OneThreadCase cases[] = {
        {L"open_fails_before_bad_name", L"exit", 2, "",
         "Error, failed to open 'TEMP\\*\\" + long_name + "' for writing.\r\n"},
        {L"file_where_a_folder_is", L"exit", 2, "", "Error, failed to open 'TEMP\\*\\x' for writing.\r\n"},
        {L"stream_cut_in_a_file", L"exit", 2, "Error, couldn't decode attached data.\r\n", ""},
        {L"frame_cut_in_half", L"exit", 2, "Error, couldn't decode attached data.\r\n", ""},
        {L"overwrite", L"exit", 2, "", "Error, failed to open 'TEMP\\*\\same\\file.bin' for writing.\r\n"},
    };
    for (const OneThreadCase &c : cases) {
        for (const std::wstring &name : {std::wstring(c.launcher), std::wstring(c.launcher) + L"_one"}) {
            SCOPED_TRACE(narrow(name));
            std::wstring temp = make_scratch_directory(L"pool");
            ProcessResult result = run_launcher(launcher(name.c_str()), {c.argument}, with_temp(temp));
            std::string temp_text = narrow(temp);
            auto as_seen = [&](std::string text) {
                for (size_t at = text.find(temp_text); at != std::string::npos; at = text.find(temp_text, at))
                    text.replace(at, temp_text.size(), "TEMP");
                return without_unpack_directory_name(text);
            };
            EXPECT_EQ(result.exit_code, c.status);
            if (wcscmp(c.argument, L"verify") != 0)
                EXPECT_EQ(as_seen(result.out), c.out);
            else
                EXPECT_EQ(value_of(parse_report(result.out), "files checked"), "1") << result.out;
            EXPECT_EQ(as_seen(result.err), c.err);
            EXPECT_TRUE(list_directory(temp).empty());
        }
    }
}
#endif

// --------------------------------------------------------------- interrupts

namespace {

// A launcher running probe.dll in its "wait" mode: the application is up
// and waits for the test's go file.
struct WaitingLauncher {
    PROCESS_INFORMATION process = {};
    HANDLE application = nullptr;  // the child process that runs probe.dll
    std::wstring scratch, ready, go, unpack_directory;
};

// Starts `name` with `arguments`, its temporary directory in `temp`, without
// waiting for it.
PROCESS_INFORMATION start_launcher(const std::wstring &executable, const std::vector<std::wstring> &arguments,
                                   const std::wstring &temp)
{
    // The child inherits this process's environment: set the variables for
    // the moment of creation.
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    std::wstring line = command_line(executable, arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    BOOL created =
        CreateProcessW(executable.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    EXPECT_TRUE(created) << "error " << GetLastError();
    return process;
}

// Waits for a waiting probe's READY file: its process number and library.
std::pair<DWORD, std::wstring> await_ready(const std::wstring &ready)
{
    for (DWORD waited = 0; !path_exists(ready) && waited < scaled_timeout(60000); waited += 20)
        Sleep(20);
    std::string lines = read_file(ready);
    size_t end = lines.find('\n');
    if (end == std::string::npos)
        return {0, L""};
    return {static_cast<DWORD>(std::stoul(lines.substr(0, end))),
            widen(lines.substr(end + 1, lines.find('\n', end + 1) - end - 1))};
}

// Its temporary directory is `shared_temp`, or one of its own.
void start_waiting(WaitingLauncher &run, DWORD status, const std::wstring &shared_temp = L"",
                   const wchar_t *name = L"probe")
{
    run.scratch = make_scratch_directory(L"event");
    std::wstring temp = shared_temp.empty() ? run.scratch + L"\\temp" : shared_temp;
    CreateDirectoryW(temp.c_str(), nullptr);
    run.ready = run.scratch + L"\\ready.txt";
    run.go = run.scratch + L"\\go";
    run.process = start_launcher(launcher(name), {L"wait", run.ready, run.go, std::to_wstring(status)}, temp);
    ASSERT_NE(run.process.hProcess, nullptr);
    for (DWORD waited = 0; !path_exists(run.ready); waited += 20) {
        ASSERT_LT(waited, scaled_timeout(60000)) << "the application never came up";
        ASSERT_EQ(WaitForSingleObject(run.process.hProcess, 20), WAIT_TIMEOUT) << "the launcher ended early";
    }
    auto [pid, library] = await_ready(run.ready);
    run.unpack_directory = parent_of(library);
    ASSERT_EQ(parent_of(run.unpack_directory), temp);
    run.application = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
    ASSERT_NE(run.application, nullptr);
}

void finish(WaitingLauncher &run)
{
    if (run.process.hProcess != nullptr && WaitForSingleObject(run.process.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(run.process.hProcess, 1);
    if (run.application != nullptr && WaitForSingleObject(run.application, 0) == WAIT_TIMEOUT)
        TerminateProcess(run.application, 1);
    CloseHandle(run.process.hProcess);
    CloseHandle(run.process.hThread);
    CloseHandle(run.application);
    if (!run.unpack_directory.empty())
        remove_tree(run.unpack_directory);
}

// Starts the console control routine in another process the way the
// system does, with the event type as its argument: that thread, or null.
HANDLE start_console_event(DWORD process_id, DWORD event_type)
{
    auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    HANDLE target = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                    PROCESS_VM_WRITE | PROCESS_VM_READ,
                                FALSE, process_id);
    HANDLE thread = routine == nullptr || target == nullptr
                        ? nullptr
                        : CreateRemoteThread(target, nullptr, 0, routine,
                                             reinterpret_cast<void *>(static_cast<ULONG_PTR>(event_type)), 0, nullptr);
    if (target != nullptr)
        CloseHandle(target);
    return thread;
}

// The same, for a process that must receive the event.
HANDLE deliver_console_event(DWORD process_id, DWORD event_type)
{
    HANDLE thread = start_console_event(process_id, event_type);
    EXPECT_NE(thread, nullptr) << "error " << GetLastError();
    return thread;
}

class HandledEvent : public testing::TestWithParam<DWORD> {};
class IgnoredEvent : public testing::TestWithParam<DWORD> {};

}  // namespace

// Ctrl+Break, close, logoff, shutdown: the application, which would wait
// for ever, is ended, and the directory removed.
TEST_P(HandledEvent, EndsTheApplicationAndRemovesTheDirectory)
{
    WaitingLauncher run;
    start_waiting(run, 42);
    if (!HasFatalFailure()) {
        HANDLE thread = deliver_console_event(run.process.dwProcessId, GetParam());
        ASSERT_EQ(WaitForSingleObject(run.process.hProcess, scaled_timeout(60000)), WAIT_OBJECT_0);
        ASSERT_EQ(WaitForSingleObject(run.application, scaled_timeout(10000)), WAIT_OBJECT_0);
        DWORD application_status = 1, launcher_status = 1;
        GetExitCodeProcess(run.application, &application_status);
        GetExitCodeProcess(run.process.hProcess, &launcher_status);
        EXPECT_EQ(application_status, 0u) << "ended by the launcher with status 0";
        EXPECT_EQ(launcher_status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
        EXPECT_FALSE(path_exists(run.ready + L".done")) << "the application ran to its end";
        EXPECT_FALSE(path_exists(run.unpack_directory));
        CloseHandle(thread);
    }
    finish(run);
}
INSTANTIATE_TEST_SUITE_P(Interrupts, HandledEvent,
                         testing::Values(CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT));

// Other event numbers are not the launcher's business: nothing is ended or
// removed.
TEST_P(IgnoredEvent, LeavesApplicationAndDirectoryAlone)
{
    WaitingLauncher run;
    start_waiting(run, 42);
    if (!HasFatalFailure()) {
        HANDLE thread = deliver_console_event(run.process.dwProcessId, GetParam());
        ASSERT_EQ(WaitForSingleObject(thread, scaled_timeout(30000)), WAIT_OBJECT_0);
        CloseHandle(thread);
        // A cleanup would have waited for the application and then ended it.
        EXPECT_EQ(WaitForSingleObject(run.application, 0), WAIT_TIMEOUT);
        EXPECT_TRUE(path_exists(run.unpack_directory));
        write_file(run.go, "go");
        ASSERT_EQ(WaitForSingleObject(run.application, scaled_timeout(60000)), WAIT_OBJECT_0);
        DWORD application_status = 0;
        GetExitCodeProcess(run.application, &application_status);
        EXPECT_EQ(application_status, 42u);
        EXPECT_TRUE(path_exists(run.ready + L".done"));
    }
    finish(run);
}
INSTANTIATE_TEST_SUITE_P(Interrupts, IgnoredEvent, testing::Values(3u, 4u, 7u));

// A second event while the first one's thread gives the application its
// grace time: only the first thread acts, and it ends the application.
TEST(Interrupts, ASecondEventLeavesTheFirstToEndTheApplication)
{
    WaitingLauncher run;
    start_waiting(run, 42);
    if (!HasFatalFailure()) {
        HANDLE first = deliver_console_event(run.process.dwProcessId, CTRL_CLOSE_EVENT);
        Sleep(500);
        HANDLE second = start_console_event(run.process.dwProcessId, CTRL_LOGOFF_EVENT);
        ASSERT_EQ(WaitForSingleObject(run.process.hProcess, scaled_timeout(60000)), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(run.application, scaled_timeout(10000)), WAIT_OBJECT_0) << "it still runs";
        DWORD status = 0;
        GetExitCodeProcess(run.process.hProcess, &status);
        EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
        EXPECT_FALSE(path_exists(run.unpack_directory));
        for (HANDLE thread : {first, second}) {
            if (thread != nullptr)
                CloseHandle(thread);
        }
    }
    finish(run);
}

// An interrupt anywhere in the unpacking: as the directory appears, between
// the small files of the tree, inside a 64 MiB file. Whatever the moment,
// the launcher prints nothing, ends as interrupted, and leaves nothing.
TEST(Interrupts, AtAnyMomentOfUnpackingNothingIsLeftOrPrinted)
{
    int interrupted = 0;
    for (const wchar_t *name : {L"tree", L"big"}) {
        // No later than the unpacking lasts: a remote thread that Wine
        // starts while the launcher is creating its child can deadlock in
        // Wine's own process creation (its fork holds the allocator's lock).
        for (DWORD delay : {0, 5, 20, 80}) {
            std::wstring scratch = make_scratch_directory(L"unpacking");
            std::wstring out = scratch + L"\\out.txt", temp = scratch + L"\\temp";
            CreateDirectoryW(temp.c_str(), nullptr);
            SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
            HANDLE output = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                        CREATE_ALWAYS, 0, nullptr);
            SetEnvironmentVariableW(L"TEMP", temp.c_str());
            SetEnvironmentVariableW(L"TMP", temp.c_str());
            std::wstring line = command_line(launcher(name), {L"exit", L"77"});
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdOutput = startup.hStdError = output;
            PROCESS_INFORMATION process = {};
            ASSERT_TRUE(CreateProcessW(launcher(name).c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                       &startup, &process));
            // The directory appears once the interrupt handler is in place.
            bool seen = false;
            while (!seen && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
                seen = !list_directory(temp, L"onefile_").empty();
            Sleep(delay);
            // A launcher that is already ending may refuse the thread.
            HANDLE thread = seen ? start_console_event(process.dwProcessId, CTRL_CLOSE_EVENT) : nullptr;
            ASSERT_EQ(WaitForSingleObject(process.hProcess, scaled_timeout(120000)), WAIT_OBJECT_0);
            DWORD status = 0;
            GetExitCodeProcess(process.hProcess, &status);
            CloseHandle(output);
            std::string context = narrow(name) + " after " + std::to_string(delay) + " ms";
            // Too late for an interrupt only when the application already ran.
            if (thread != nullptr && status != 77u) {
                EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT)) << context;
                interrupted++;
            }
            EXPECT_EQ(read_file(out), "") << context;
            EXPECT_TRUE(list_directory(temp).empty()) << context;
            if (thread != nullptr)
                CloseHandle(thread);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            remove_tree(scratch);
        }
    }
    EXPECT_GT(interrupted, 0) << "no interrupt ever came during unpacking";
}

// For the Ctrl+C script: whether a process still runs (0) or not (1).
VESKAR_HELPER(process_alive)
{
    if (arguments.size() != 1)
        return 120;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(arguments[0])));
    if (process == nullptr)
        return 1;
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive ? 0 : 1;
}

// ------------------------------------------------ leaving nothing behind

namespace {

// A folder whose paths stay short on the disk below the program: long
// trees must fit the host's own path limit when the system is emulated.
std::wstring short_scratch(const std::wstring &tag)
{
    std::wstring root = L"Z:\\tmp";
    DWORD attributes = GetFileAttributesW(root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return make_scratch_directory(tag);
    std::wstring path = root + L"\\veskar_" + tag + L"_" + std::to_wstring(GetCurrentProcessId());
    remove_tree(path);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

}  // namespace

TEST(Cleanup, EverythingTheApplicationLeavesIsRemovedAndNothingOutside)
{
    std::wstring scratch = short_scratch(L"litter");
    std::wstring temp = scratch + L"\\temp", outside = scratch + L"\\outside";
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(outside.c_str(), nullptr);
    write_file(outside + L"\\keep.txt", "not the launcher's");
    ProcessResult result = run_launcher(launcher(L"probe"), {L"litter", outside}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    Report report = parse_report(result.out);
    for (const char *made : {"long path 300", "long path 1000", "long path 4000", "read-only"})
        EXPECT_EQ(value_of(report, made), "made") << made;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(list_directory(temp).empty()) << "left in TEMP: " << narrow(list_directory(temp)[0]);
    // A link out of the unpack directory goes; what it points to stays.
    EXPECT_EQ(read_file(outside + L"\\keep.txt"), "not the launcher's") << "link " << value_of(report, "link");
    remove_tree(scratch);
}

TEST(Cleanup, SixteenLaunchesAtOnceEachGetAndRemoveTheirOwnDirectory)
{
    std::wstring temp = make_scratch_directory(L"sixteen");
    std::vector<ProcessResult> results = run_at_once(16, launcher(L"probe"), temp);
    std::set<std::wstring> directories;
    for (const ProcessResult &result : results) {
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        directories.insert(parent_of(from_hex(value_of(parse_report(result.out), "library"))));
    }
    EXPECT_EQ(directories.size(), results.size());
    EXPECT_TRUE(list_directory(temp).empty());
}

// A pack-time unpack directory without reuse: made where the spec says,
// its parents on the way, and removed at exit like the default one.
TEST(Cleanup, PackTimeUnpackDirectoryIsUsedAndRemoved)
{
    std::wstring temp = make_scratch_directory(L"placed");
    ProcessResult result = run_launcher(launcher(L"placed"), {L"args"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    std::wstring used = parent_of(from_hex(value_of(parse_report(result.out), "library")));
    EXPECT_EQ(parent_of(used), temp + L"\\apps");
    std::wstring name = used.substr(used.find_last_of(L'\\') + 1);
    EXPECT_EQ(name.rfind(L"placed_", 0), 0u) << narrow(used);
    EXPECT_EQ(name.size(), std::wstring(L"placed_").size() + 11) << narrow(used);
    EXPECT_TRUE(list_directory(temp + L"\\apps").empty());
    remove_tree(temp);
}

// ------------------------------------------------ reusing the unpacked tree

namespace {

std::wstring kept_launcher(int version)
{
    return test_binary_directory() + L"\\reuse_v" + std::to_wstring(version) + L"\\kept.exe";
}

// A published tree's name after its stem: "_", 16 lowercase hexadecimal
// digits of the application identity, "_" and 16 of the archive identity.
const size_t tree_suffix_length = 1 + 16 + 1 + 16;

std::wstring used_folder(const ProcessResult &result)
{
    return parent_of(from_hex(value_of(parse_report(result.out), "library")));
}

// The tree a reusing launcher ran probe.dll from, after checking its name.
std::wstring tree_of(const ProcessResult &result, const std::wstring &stem)
{
    std::wstring tree = used_folder(result), name = tree.substr(tree.find_last_of(L'\\') + 1);
    EXPECT_EQ(name.size(), stem.size() + tree_suffix_length) << narrow(tree);
    EXPECT_EQ(name.rfind(stem + L"_", 0), 0u) << narrow(tree);
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", stem.size() + 1), stem.size() + 17) << narrow(tree);
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", stem.size() + 18), std::wstring::npos) << narrow(tree);
    return tree;
}

// The entries of `folder`, a tree's manifest counted with the tree: one
// whose tree is gone is listed.
std::vector<std::wstring> names_in(const std::wstring &folder)
{
    std::vector<std::wstring> names = list_directory(folder);
    std::sort(names.begin(), names.end());
    const std::wstring suffix = L".files";
    std::vector<std::wstring> kept;
    for (const std::wstring &name : names) {
        bool manifest = name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (!manifest || !std::binary_search(names.begin(), names.end(), name.substr(0, name.size() - suffix.size())))
            kept.push_back(name);
    }
    return kept;
}

std::wstring name_of(const std::wstring &path)
{
    return path.substr(path.find_last_of(L'\\') + 1);
}

// start_launcher, leaving this process's own TEMP as it was.
PROCESS_INFORMATION start_in(const std::wstring &executable, const std::vector<std::wstring> &arguments,
                             const std::wstring &temp)
{
    std::wstring own = temp_directory();
    PROCESS_INFORMATION process = start_launcher(executable, arguments, temp);
    SetEnvironmentVariableW(L"TEMP", own.c_str());
    SetEnvironmentVariableW(L"TMP", own.c_str());
    return process;
}

}  // namespace

TEST(Reuse, LaterStartsRunFromTheSameTreeFromAnyFolderAndArgumentZero)
{
    std::wstring temp = make_scratch_directory(L"reuse_same");
    ProcessResult first = run_launcher(kept_launcher(1), {L"args"}, with_temp(temp));
    ASSERT_EQ(first.exit_code, 0u) << first.err;
    std::wstring tree = tree_of(first, L"kept");
    EXPECT_EQ(parent_of(tree), temp);
    // What the application adds is kept: the tree is not made again.
    write_file(tree + L"\\added.txt", "the application's");
    ProcessOptions elsewhere = with_temp(temp);
    elsewhere.current_directory = parent_of(temp);
    ProcessResult second = run_process(kept_launcher(1), command_line(L"another name", {L"args"}), elsewhere);
    ASSERT_EQ(second.exit_code, 0u) << second.err;
    EXPECT_EQ(tree_of(second, L"kept"), tree);
    EXPECT_EQ(read_file(tree + L"\\added.txt"), "the application's");
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(tree)});
    remove_tree(temp);
}

TEST(Reuse, DamagedTreeIsMendedBeforeTheApplicationRuns)
{
    const struct {
        const char *damage;
        std::function<void(const std::wstring &)> apply;
    } cases[] = {
        {"deleted", [](const std::wstring &note) { DeleteFileW(note.c_str()); }},
        {"truncated", [](const std::wstring &note) { write_file(note, "as"); }},
        {"rewritten at the same size", [](const std::wstring &note) { write_file(note, "AS PACKED"); }},
        {"zeros of the right size, from an earlier boot", [](const std::wstring &note) {
             write_file(note, std::string(9, '\0'));
             HANDLE file = CreateFileW(note.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
             const FILETIME earlier = {0x8C2D8000u, 0x01D6E0B6u};
             SetFileTime(file, nullptr, nullptr, &earlier);
             CloseHandle(file);
         }},
        {"made a folder", [](const std::wstring &note) {
             DeleteFileW(note.c_str());
             CreateDirectoryW(note.c_str(), nullptr);
         }},
    };
    for (const auto &c : cases) {
        std::wstring temp = make_scratch_directory(L"reuse_mend");
        std::wstring tree = tree_of(run_launcher(kept_launcher(1), {L"args"}, with_temp(temp)), L"kept");
        c.apply(tree + L"\\data\\note.txt");
        ProcessResult mended = run_launcher(kept_launcher(1), {L"report"}, with_temp(temp));
        EXPECT_EQ(mended.exit_code, 5u) << c.damage << mended.err;
        EXPECT_EQ(value_of(parse_report(mended.out), "nested note"), "as packed") << c.damage;
        EXPECT_EQ(parent_of(from_hex(value_of(parse_report(mended.out), "nested library"))), tree) << c.damage;
        EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(tree)}) << c.damage;
        remove_tree(temp);
    }
}

// The durability rule one level down, a boot stamp of the test's own
// standing for a restart: a file stamped durable or in this boot is taken
// by its size; any other is read back, and only its packed contents pass.
TEST(Reuse, FilesNotKnownToBeOnTheDiskAreReadBackAfterARestart)
{
    std::wstring tree = make_scratch_directory(L"reuse_boot");
    const std::string packed = "packed contents";
    char notes[128];
    snprintf(notes, sizeof notes, "file=%zu a.txt\nfile_hashes=%016llx\n", packed.size(),
             static_cast<unsigned long long>(XXH64(packed.data(), packed.size(), 0)));
    read_build_notes(notes, strlen(notes));
    const FILETIME this_boot = {0x8C2D8000u, 0x01DB0000u}, earlier_boot = {0x8C2D8000u, 0x01DA0000u};
    const struct {
        const char *state;
        FILETIME stamp;
        std::string content;
        bool trusted;
    } cases[] = {
        {"durable, zeros", durable_file_time, std::string(packed.size(), '\0'), true},
        {"this boot, zeros", this_boot, std::string(packed.size(), '\0'), true},
        {"an earlier boot, as packed", earlier_boot, packed, true},
        {"an earlier boot, zeros", earlier_boot, std::string(packed.size(), '\0'), false},
        {"an earlier boot, short", earlier_boot, packed.substr(1), false},
    };
    for (const auto &c : cases) {
        launcher_state.boot_file_time = this_boot;
        write_file(tree + L"\\a.txt", c.content);
        HANDLE file = CreateFileW((tree + L"\\a.txt").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        SetFileTime(file, nullptr, nullptr, &c.stamp);
        CloseHandle(file);
        EXPECT_EQ(tree_matches_archive(tree.c_str()), c.trusted) << c.state;
    }
    remove_tree(tree);
}

// A first start ended while it unpacks 64 MiB: killed, it leaves only a
// working directory, which is never used and which the next start removes;
// interrupted, it leaves nothing.
TEST(Reuse, FirstStartEndedWhileUnpackingLeavesNoTreeToUse)
{
    for (bool killed : {true, false}) {
        std::wstring temp = make_scratch_directory(L"reuse_killed");
        PROCESS_INFORMATION process = start_in(launcher(L"big_kept"), {L"exit", L"7"}, temp);
        ASSERT_NE(process.hProcess, nullptr);
        bool seen = false;
        while (!seen && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
            for (const std::wstring &name : list_directory(temp, L"big_kept_"))
                seen = seen || name.find(L'~') != std::wstring::npos;
        }
        ASSERT_TRUE(seen) << "no working directory appeared";
        HANDLE thread = nullptr;
        if (killed)
            TerminateProcess(process.hProcess, 9);
        else
            thread = deliver_console_event(process.dwProcessId, CTRL_CLOSE_EVENT);
        ASSERT_EQ(WaitForSingleObject(process.hProcess, scaled_timeout(120000)), WAIT_OBJECT_0);
        DWORD status = 0;
        GetExitCodeProcess(process.hProcess, &status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        if (thread != nullptr)
            CloseHandle(thread);
        std::vector<std::wstring> left = names_in(temp);
        if (killed) {
            ASSERT_EQ(left.size(), 1u);
            EXPECT_EQ(left[0].size(), std::wstring(L"big_kept").size() + tree_suffix_length + 12) << narrow(left[0]);
            EXPECT_EQ(left[0][left[0].size() - 12], L'~') << narrow(left[0]);
        } else {
            EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
            EXPECT_TRUE(left.empty()) << narrow(left[0]);
        }
        ProcessResult next = run_launcher(launcher(L"big_kept"), {L"exit", L"7"}, with_temp(temp));
        EXPECT_EQ(next.exit_code, 7u) << next.err;
        std::vector<std::wstring> after = names_in(temp);
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].size(), std::wstring(L"big_kept").size() + tree_suffix_length) << narrow(after[0]);
        remove_tree(temp);
    }
}

TEST(Reuse, EightFirstStartsAtOnceRunFromOneTree)
{
    std::wstring temp = make_scratch_directory(L"reuse_eight");
    std::vector<ProcessResult> results = run_at_once(8, kept_launcher(1), temp);
    std::set<std::wstring> trees;
    for (const ProcessResult &result : results) {
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        trees.insert(tree_of(result, L"kept"));
    }
    ASSERT_EQ(trees.size(), 1u);
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(*trees.begin())});
    remove_tree(temp);
}

namespace {

// The volume's number for the file at `path`: the same file under two
// names, or after a rename, has the same one.
uint64_t file_identity(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information = {};
    bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return known ? static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow : 0;
}

// What a second version's tree holds once it has taken over the first's:
// the unchanged file as the very same file, the changed, removed and added
// ones as the second version packed them.
void expect_second_version(const std::wstring &tree, uint64_t note_identity)
{
    EXPECT_EQ(file_identity(tree + L"\\data\\note.txt"), note_identity);
    EXPECT_EQ(read_file(tree + L"\\data\\frames\\c.bin").substr(0, 5), "c0123");
    EXPECT_EQ(read_file(tree + L"\\version.txt"), "version 2");
    EXPECT_EQ(read_file(tree + L"\\only_in_v2.txt"), "version 2 alone");
    EXPECT_FALSE(path_exists(tree + L"\\only_in_v1.txt"));
}

}  // namespace

// With the old version not running, its tree becomes the new one in place.
TEST(Reuse, NewVersionTakesOverTheOldTreeInPlace)
{
    std::wstring temp = make_scratch_directory(L"reuse_in_place");
    std::wstring old_tree = tree_of(run_launcher(kept_launcher(1), {L"args"}, with_temp(temp)), L"kept");
    uint64_t note = file_identity(old_tree + L"\\data\\note.txt"), library = file_identity(old_tree + L"\\probe.dll");
    // A file changed since, to the same size: its time no longer vouches
    // for it, whatever the old tree's manifest says.
    std::string frame_file = read_file(old_tree + L"\\data\\frames\\b.bin");
    write_file(old_tree + L"\\data\\frames\\b.bin", "B" + frame_file.substr(1));
    ProcessResult result = run_launcher(kept_launcher(2), {L"args"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    std::wstring new_tree = tree_of(result, L"kept");
    expect_second_version(new_tree, note);
    EXPECT_EQ(file_identity(new_tree + L"\\probe.dll"), library);
    EXPECT_EQ(read_file(new_tree + L"\\data\\frames\\b.bin"), frame_file);
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(new_tree)});
    // The old version, started again, takes the tree back the same way.
    ProcessResult again = run_launcher(kept_launcher(1), {L"report"}, with_temp(temp));
    EXPECT_EQ(again.exit_code, 5u) << again.err;
    EXPECT_EQ(parent_of(from_hex(value_of(parse_report(again.out), "nested library"))), old_tree);
    EXPECT_EQ(read_file(old_tree + L"\\version.txt"), "version 1");
    EXPECT_EQ(file_identity(old_tree + L"\\data\\note.txt"), note);
    remove_tree(temp);
}

// What a takeover trusts without reading may be wrong: a frame index that
// does not match the stream ends the start as a damaged archive, leaving
// nothing, and the right launcher then unpacks afresh; a manifest that
// fails its own hash vouches for nothing, and the files are read instead.
TEST(Reuse, TakeoverOverAWrongIndexOrManifestNeverMakesAWrongTree)
{
    for (bool in_index : {true, false}) {
        std::wstring temp = make_scratch_directory(L"reuse_wrong_index");
        std::wstring old_tree = tree_of(run_launcher(kept_launcher(1), {L"args"}, with_temp(temp)), L"kept");
        uint64_t note = file_identity(old_tree + L"\\data\\note.txt");
        if (in_index) {
            std::string bytes = read_file(kept_launcher(2));
            size_t digit = bytes.find("\nframes=") + 8 + 64 + 31;  // the last frame's offset, last digit
            bytes[digit] = bytes[digit] == '0' ? '1' : '0';
            write_file(temp + L"\\kept.exe", bytes);
            ProcessResult wrong = run_launcher(temp + L"\\kept.exe", {L"args"}, with_temp(temp));
            EXPECT_EQ(wrong.exit_code, 2u) << wrong.err;
            EXPECT_EQ(wrong.out, "Error, couldn't decode attached data.\r\n");
            EXPECT_EQ(names_in(temp), std::vector<std::wstring>{L"kept.exe"});
        } else {
            std::string manifest = read_file(old_tree + L".files");
            ASSERT_FALSE(manifest.empty());
            manifest.back() ^= 1;
            write_file(old_tree + L".files", manifest);
        }
        ProcessResult result = run_launcher(kept_launcher(2), {L"args"}, with_temp(temp));
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        std::wstring new_tree = tree_of(result, L"kept");
        EXPECT_EQ(read_file(new_tree + L"\\version.txt"), "version 2");
        EXPECT_EQ(read_file(new_tree + L"\\data\\frames\\b.bin").substr(0, 5), "b0123");
        if (!in_index)
            expect_second_version(new_tree, note);
        remove_tree(temp);
    }
}

// With the old version running, nothing of its tree changes: the new one
// links its unchanged files and writes its libraries, and the old tree goes
// once it is free.
TEST(Reuse, NewVersionStartsBesideARunningOldOneAndRemovesItOnceUnused)
{
    std::wstring scratch = make_scratch_directory(L"reuse_versions");
    std::wstring temp = scratch + L"\\temp", ready = scratch + L"\\ready.txt", go = scratch + L"\\go";
    CreateDirectoryW(temp.c_str(), nullptr);
    PROCESS_INFORMATION old_run = start_in(kept_launcher(1), {L"wait", ready, go, L"0"}, temp);
    ASSERT_NE(old_run.hProcess, nullptr);
    std::wstring old_tree = parent_of(await_ready(ready).second);
    ASSERT_FALSE(old_tree.empty()) << "the first version never came up";
    ProcessResult beside = run_launcher(kept_launcher(2), {L"args"}, with_temp(temp));
    EXPECT_EQ(beside.exit_code, 0u) << beside.err;
    std::wstring new_tree = tree_of(beside, L"kept");
    EXPECT_NE(new_tree, old_tree);
    EXPECT_EQ(read_file(old_tree + L"\\version.txt"), "version 1");
    EXPECT_EQ(read_file(old_tree + L"\\data\\note.txt"), "as packed");
    EXPECT_EQ(read_file(old_tree + L"\\only_in_v1.txt"), "version 1 alone");
    expect_second_version(new_tree, file_identity(old_tree + L"\\data\\note.txt"));
    EXPECT_NE(file_identity(new_tree + L"\\probe.dll"), file_identity(old_tree + L"\\probe.dll"));

    write_file(go, "");
    EXPECT_EQ(WaitForSingleObject(old_run.hProcess, scaled_timeout(60000)), WAIT_OBJECT_0);
    CloseHandle(old_run.hProcess);
    CloseHandle(old_run.hThread);
    // An application that ends at once leaves the sweep a few entries a
    // start: this tree's are gone within two.
    for (int start = 0; start < 2 && names_in(temp).size() > 1; start++) {
        ProcessResult after = run_launcher(kept_launcher(2), {L"args"}, with_temp(temp));
        EXPECT_EQ(after.exit_code, 0u) << after.err;
    }
    EXPECT_EQ(read_file(new_tree + L"\\version.txt"), "version 2");
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(new_tree)});
    remove_tree(scratch);
}

// An interrupt once the application runs keeps the tree whole, for the
// next start to use. In the launcher's own process the application's own
// handling applies (here the system's: the process ends); with a child the
// launcher ends it and ends as interrupted.
TEST(Reuse, InterruptAfterPublicationKeepsTheTree)
{
    const struct {
        const wchar_t *name;
        DWORD event;
        bool child;
    } cases[] = {{L"probe_kept", CTRL_C_EVENT, false}, {L"probe_kept_child", CTRL_CLOSE_EVENT, true}};
    for (const auto &c : cases) {
        std::wstring scratch = make_scratch_directory(L"reuse_interrupt");
        std::wstring temp = scratch + L"\\temp", ready = scratch + L"\\ready.txt";
        CreateDirectoryW(temp.c_str(), nullptr);
        PROCESS_INFORMATION run = start_in(launcher(c.name), {L"wait", ready, scratch + L"\\never", L"0"}, temp);
        ASSERT_NE(run.hProcess, nullptr);
        for (DWORD waited = 0; !path_exists(ready); waited += 20) {
            ASSERT_LT(waited, scaled_timeout(60000)) << "the application never came up";
            Sleep(20);
        }
        std::string lines = read_file(ready);
        EXPECT_EQ(lines.substr(0, lines.find('\n')) != std::to_string(run.dwProcessId), c.child) << lines;
        HANDLE thread = deliver_console_event(run.dwProcessId, c.event);
        ASSERT_EQ(WaitForSingleObject(run.hProcess, scaled_timeout(60000)), WAIT_OBJECT_0) << narrow(c.name);
        DWORD status = 0;
        GetExitCodeProcess(run.hProcess, &status);
        if (c.child)
            EXPECT_EQ(status, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
        EXPECT_FALSE(path_exists(ready + L".done")) << "the application ran to its end";
        std::vector<std::wstring> left = names_in(temp);
        ASSERT_EQ(left.size(), 1u);
        std::wstring tree = temp + L"\\" + left[0];
        EXPECT_EQ(read_file(tree + L"\\data\\note.txt"), "as packed");
        ProcessResult next = run_launcher(launcher(c.name), {L"report"}, with_temp(temp));
        EXPECT_EQ(next.exit_code, 5u) << next.err;
        EXPECT_EQ(parent_of(from_hex(value_of(parse_report(next.out), "nested library"))), tree);
        EXPECT_EQ(names_in(temp), std::vector<std::wstring>{left[0]});
        CloseHandle(thread);
        CloseHandle(run.hProcess);
        CloseHandle(run.hThread);
        remove_tree(scratch);
    }
}

namespace {

// Lets everyone do everything in `folder` (Wine keeps it as the folder's
// mode bits).
void open_to_everyone(std::wstring folder)
{
    PSECURITY_DESCRIPTOR open_to_all = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                                     &open_to_all, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    GetSecurityDescriptorDacl(open_to_all, &present, &dacl, &defaulted);
    ASSERT_EQ(SetNamedSecurityInfoW(&folder[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                    nullptr),
              static_cast<DWORD>(ERROR_SUCCESS));
    LocalFree(open_to_all);
}

}  // namespace

// A start that finds the tree damaged while another run uses it runs from
// its own working directory. Its application, in a child, holds that
// directory, also once the parent is gone, so no sweep takes it from under
// it.
TEST(Reuse, ApplicationRunningFromAWorkingDirectoryHoldsIt)
{
    std::wstring scratch = make_scratch_directory(L"reuse_working");
    std::wstring temp = scratch + L"\\temp", go = scratch + L"\\go";
    CreateDirectoryW(temp.c_str(), nullptr);
    const std::wstring supervised = launcher(L"probe_kept_child");
    PROCESS_INFORMATION user = start_in(supervised, {L"wait", scratch + L"\\ready1", go, L"0"}, temp);
    std::wstring tree = parent_of(await_ready(scratch + L"\\ready1").second);
    write_file(tree + L"\\data\\note.txt", "AS PACKED");
    PROCESS_INFORMATION mender = start_in(supervised, {L"wait", scratch + L"\\ready2", go, L"0"}, temp);
    auto [application, library] = await_ready(scratch + L"\\ready2");
    std::wstring working = parent_of(library);
    EXPECT_EQ(working.substr(0, tree.size() + 1), tree + L"~") << narrow(working);
    TerminateProcess(mender.hProcess, 9);
    WaitForSingleObject(mender.hProcess, scaled_timeout(30000));
    HANDLE sweep = CreateFileW(working.c_str(), DELETE | FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_EQ(sweep, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (sweep != INVALID_HANDLE_VALUE)
        CloseHandle(sweep);
    write_file(go, "");
    HANDLE orphan = OpenProcess(SYNCHRONIZE, FALSE, application);
    for (HANDLE process : {user.hProcess, orphan})
        EXPECT_EQ(WaitForSingleObject(process, scaled_timeout(60000)), WAIT_OBJECT_0);
    for (HANDLE handle : {user.hProcess, user.hThread, mender.hProcess, mender.hThread, orphan})
        CloseHandle(handle);
    remove_tree(scratch);
}

// A tree whose access list lets everyone write is not trusted: the run
// unpacks into a fresh per-run directory and leaves that tree alone.
TEST(Reuse, TreeOthersMayChangeIsNeitherUsedNorRemoved)
{
    std::wstring temp = make_scratch_directory(L"reuse_open");
    std::wstring tree = tree_of(run_launcher(kept_launcher(1), {L"args"}, with_temp(temp)), L"kept");
    open_to_everyone(tree);
    ProcessResult result = run_launcher(kept_launcher(1), {L"args"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    std::wstring used = parent_of(from_hex(value_of(parse_report(result.out), "library")));
    EXPECT_EQ(name_of(used).rfind(L"onefile_", 0), 0u) << narrow(used);
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(tree)});
    EXPECT_EQ(read_file(tree + L"\\data\\note.txt"), "as packed");
    remove_tree(temp);
}

// The same check one level down, on descriptors Wine cannot give a folder
// (another owner, entries it does not store): for a tree, and for a folder
// above one.
TEST(Reuse, OnlyTheUserSystemAndAdministratorsMayChangeATree)
{
    PSID user = const_cast<SID *>(current_user_sid());
    wchar_t *sid_text = nullptr;
    ASSERT_TRUE(user != nullptr && ConvertSidToStringSidW(user, &sid_text));
    const std::wstring me = sid_text;
    LocalFree(sid_text);
    const std::wstring trusted_installer = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    const struct {
        std::wstring descriptor;
        bool tree, above;
    } cases[] = {
        {L"O:" + me + L"D:P(A;OICI;FA;;;" + me + L")", true, true},
        {L"O:" + me + L"D:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;" + me + L")(A;;0x1200a9;;;WD)", true, true},
        {L"O:" + me + L"D:(D;;FA;;;WD)(A;;FA;;;" + me + L")", true, true},
        // Inherit-only: nothing on the folder, everything on what is made in it.
        {L"O:" + me + L"D:(A;OICIIO;FA;;;WD)(A;;FA;;;" + me + L")", false, true},
        {L"O:" + me + L"D:(A;CIIO;0x6;;;BU)(A;;FA;;;" + me + L")", false, true},
        // The system's folders: owned by SYSTEM or Administrators.
        {L"O:BAD:P(A;OICI;FA;;;" + me + L")", false, true},
        {L"O:SYD:(A;;FA;;;SY)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;BU)", false, true},
        {L"O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;" + me + L")", false, false},
        // Adding a file or a folder (as every user may at a volume's root)
        // plants a name in a tree, only a new name above one.
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;0x2;;;WD)", false, true},
        {L"O:SYD:(A;;FA;;;SY)(A;;0x4;;;AU)", false, true},
        {L"O:SYD:(A;;FA;;;SY)(A;;0x1301bf;;;AU)", false, false},
        // A stock system drive's root and C:\\Program Files on Windows 10 and
        // 11: owned by TrustedInstaller, which may also change the latter.
        {L"O:" + trusted_installer + L"D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)"
         L"(A;OICIIO;SDGXGWGR;;;AU)(A;;0x4;;;AU)", false, true},
        {L"O:" + trusted_installer + L"D:P(A;;FA;;;" + trusted_installer + L")(A;CIIO;GA;;;" + trusted_installer +
         L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
         L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)", false, true},
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;FA;;;" + trusted_installer + L")", false, true},
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;WD;;;BU)", false, false},
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;GW;;;AU)", false, false},
        {L"O:" + me + L"D:(A;;FA;;;" + me + L")(A;;SD;;;S-1-5-21-1-2-3-1001)", false, false},
    };
    for (const auto &c : cases) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.descriptor.c_str(), SDDL_REVISION_1,
                                                                         &descriptor, nullptr))
            << narrow(c.descriptor);
        EXPECT_EQ(security_is_private(descriptor, user), c.tree) << narrow(c.descriptor);
        EXPECT_EQ(security_is_private(descriptor, user, true), c.above) << narrow(c.descriptor);
        LocalFree(descriptor);
    }
    // No list at all: everyone may do everything.
    SECURITY_DESCRIPTOR open_to_all;
    ASSERT_TRUE(InitializeSecurityDescriptor(&open_to_all, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorOwner(&open_to_all, user, FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&open_to_all, TRUE, nullptr, FALSE));
    EXPECT_FALSE(security_is_private(&open_to_all, user));
}

// Without --unpack-dir the tree is kept below the local application data,
// and nothing is written to TEMP.
TEST(Reuse, DefaultPlaceIsBelowLocalApplicationDataNeverTemp)
{
    std::wstring temp = make_scratch_directory(L"reuse_default");
    wchar_t local[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local), S_OK);
    ProcessResult result = run_launcher(launcher(L"kept_default"), {L"args"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    std::wstring tree = tree_of(result, L"kept_default");
    EXPECT_EQ(parent_of(tree), std::wstring(local) + L"\\VeskarOnefile");
    EXPECT_TRUE(list_directory(temp).empty()) << narrow(list_directory(temp)[0]);
    remove_tree(tree);
    remove_tree(temp);
}

// The refusing kit renames nothing while VESKAR_TEST_REFUSE_RENAME is set,
// as NTFS under a virus scanner: a first start runs from its complete
// working directory and keeps it, a start still refused runs from it again,
// the first one allowed publishes it; starts at once share one unpack.
// What the application added shows that nothing was unpacked again.
TEST(Reuse, TreeTheSystemWillNotRenameIsKeptAndPublishedByALaterStart)
{
    std::wstring temp = make_scratch_directory(L"reuse_refused"), working;
    ProcessOptions refused = with_temp(temp);
    refused.environment[L"VESKAR_TEST_REFUSE_RENAME"] = L"1";
    for (bool refusing : {true, true, false}) {
        ProcessResult result = run_launcher(launcher(L"refused"), {L"args"}, refusing ? refused : with_temp(temp));
        ASSERT_EQ(result.exit_code, 0u) << result.err;
        if (working.empty()) {
            working = used_folder(result);
            ASSERT_EQ(working.rfind(temp + L"\\refused_", 0), 0u) << narrow(working);
            ASSERT_EQ(working.find(L'~'), working.size() - 12) << narrow(working);
            write_file(working + L"\\added.txt", "the application's");
        }
        std::wstring expected = refusing ? working : working.substr(0, working.size() - 12);
        EXPECT_EQ(used_folder(result), expected);
        EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(expected)});
        EXPECT_EQ(read_file(expected + L"\\added.txt"), "the application's");
    }
    remove_tree(temp);
    temp = make_scratch_directory(L"reuse_refused_at_once");
    std::set<std::wstring> used;
    for (const ProcessResult &result : run_at_once(4, launcher(L"refused"), temp, refused.environment))
        used.insert(used_folder(result));
    EXPECT_EQ(used.size(), 1u);
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(*used.begin())});
    remove_tree(temp);
}

// This test holds the archive's lock file as a hung or suspended start
// would, from any session: the start waits a bounded time, then runs from
// TEMP and leaves nothing.
TEST(Reuse, StartBlockedByAnotherRunsFromTempAfterABoundedWait)
{
    std::wstring temp = make_scratch_directory(L"reuse_locked");
    std::string image = read_file(launcher(L"locked"));
    std::string application = image.substr(image.find("\napplication=") + 13, 16);
    std::string archive = image.substr(image.find("\narchive=") + 9, 16);
    std::wstring lock_file = temp + L"\\locked_" + widen(application) + L"_" + widen(archive) + L".lock";
    HANDLE lock = CreateFileW(lock_file.c_str(), GENERIC_READ | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    ProcessResult result = run_launcher(launcher(L"locked"), {L"args"}, with_temp(temp));
    CloseHandle(lock);
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(used_folder(result).rfind(temp + L"\\onefile_", 0), 0u) << narrow(used_folder(result));
    EXPECT_TRUE(names_in(temp).empty());
    remove_tree(temp);
}

// Two applications packed into one place keep their trees over alternating
// starts; a new version of one (with the other's archive) replaces only its
// own tree, at once or within a few starts.
TEST(Reuse, ApplicationsOfOneNameKeepTheirTreesAndOnlyTheirOwnVersionsReplaceThem)
{
    std::wstring temp = make_scratch_directory(L"reuse_tools");
    auto tree_from = [&](const wchar_t *name) {
        ProcessResult result = run_launcher(launcher(name), {L"args"}, with_temp(temp));
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        return tree_of(result, L"tool");
    };
    std::wstring first = tree_from(L"tool_first_v1"), other = tree_from(L"tool_other");
    EXPECT_EQ(tree_from(L"tool_first_v1"), first);
    EXPECT_EQ(tree_from(L"tool_other"), other);
    EXPECT_EQ(names_in(temp).size(), 2u);
    std::wstring newer = tree_from(L"tool_first_v2");
    for (int start = 0; start < 4 && path_exists(first); start++)
        tree_from(L"tool_first_v2");
    EXPECT_EQ(name_of(newer).substr(0, 22), name_of(first).substr(0, 22));  // "tool_" and the application
    EXPECT_NE(newer, other);
    EXPECT_FALSE(path_exists(first));
    EXPECT_EQ(read_file(other + L"\\version.txt"), "version 2");
    EXPECT_EQ(names_in(temp).size(), 2u);
    remove_tree(temp);
}

// Run by disk_full_test.sh, which mounts a small disk and names it in
// VESKAR_SMALL_DISK; skipped elsewhere.
TEST(DiskFull, SaysSoAndLeavesTheDiskEmpty)
{
    wchar_t disk[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"VESKAR_SMALL_DISK", disk, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        GTEST_SKIP() << "no small disk mounted";
    // 64 MiB of content into a disk of 8 MiB.
    ProcessResult result = run_launcher(launcher(L"big"), {L"exit", L"0"}, with_temp(disk));
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    // ERROR_DISK_FULL, with the system's own text for it ("There is not
    // enough space on the disk." on Windows), not a short write's code.
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   ERROR_DISK_FULL, 1033, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string system_text = text != nullptr ? text : "";
    LocalFree(text);
    while (!system_text.empty() && (system_text.back() == '\r' || system_text.back() == '\n'))
        system_text.pop_back();
    EXPECT_EQ(result.err, "Error, couldn't unpack file to target path. ([Error 112] " + system_text + ")\r\n");
    EXPECT_TRUE(list_directory(disk).empty());
}

// A launcher ended outright (the task manager, a crash, a logoff) leaves
// its tree; the next start in the same TEMP removes it, and a feedback file
// of a launcher that is gone, but nothing of a running launcher, nothing an
// application still uses, and nothing whose name only looks like theirs.
TEST(Cleanup, TreesOfLaunchersThatAreGoneAreRemovedByTheNextStart)
{
    std::wstring temp = make_scratch_directory(L"sweep");
    WaitingLauncher killed, running, orphaned;
    for (WaitingLauncher *run : {&killed, &running, &orphaned})
        start_waiting(*run, 0, temp);
    if (!HasFatalFailure()) {
        TerminateProcess(killed.process.hProcess, 1);
        TerminateProcess(killed.application, 1);
        TerminateProcess(orphaned.process.hProcess, 1);  // its application goes on
        for (HANDLE process : {killed.process.hProcess, killed.application, orphaned.process.hProcess})
            WaitForSingleObject(process, scaled_timeout(30000));
        auto feedback_of = [&](const WaitingLauncher &run) {
            return temp + L"\\onefile_" + std::to_wstring(run.process.dwProcessId) + L"_splash_feedback.tmp";
        };
        write_file(feedback_of(killed), "");
        write_file(feedback_of(running), "");
        std::vector<std::wstring> kept = {running.unpack_directory, orphaned.unpack_directory, feedback_of(running)};
        for (const wchar_t *name : {L"onefile_data", L"onefile_notours", L"onefile_12_123456_ABCDEFGHIJ",
                                    L"onefile_12_123456_ABCDEFGHIJKL", L"onefile_12_12345_ABCDEFGHIJK",
                                    L"onefile_x2_123456_ABCDEFGHIJK"}) {
            CreateDirectoryW((temp + L"\\" + name).c_str(), nullptr);
            kept.push_back(temp + L"\\" + name + L"\\keep.txt");
            write_file(kept.back(), "not a launcher's");
        }
        kept.push_back(temp + L"\\onefile_12_123456_ABCDEFGHIJK");  // a file, not a tree
        write_file(kept.back(), "not a launcher's");

        ProcessResult result = run_launcher(launcher(L"probe"), {L"args"}, with_temp(temp));
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        EXPECT_FALSE(path_exists(killed.unpack_directory));
        EXPECT_FALSE(path_exists(feedback_of(killed)));
        for (const std::wstring &path : kept)
            EXPECT_TRUE(path_exists(path)) << narrow(path);

        // Once its application has ended, the orphaned tree is the next start's.
        write_file(orphaned.go, "go");
        EXPECT_EQ(WaitForSingleObject(orphaned.application, scaled_timeout(60000)), WAIT_OBJECT_0);
        EXPECT_EQ(run_launcher(launcher(L"probe"), {L"args"}, with_temp(temp)).exit_code, 0u);
        EXPECT_FALSE(path_exists(orphaned.unpack_directory));
        EXPECT_TRUE(path_exists(running.unpack_directory));
    }
    for (WaitingLauncher *run : {&killed, &running, &orphaned})
        finish(*run);
    remove_tree(temp);
}

// A removal cut off midway, as when the system ends the launcher some
// seconds after a console close, logoff or shutdown: the launcher is killed
// while a file this test holds keeps its removal retrying. A later start
// finishes the half-removed tree.
TEST(Cleanup, TreeWhoseRemovalWasCutOffIsFinishedByALaterStart)
{
    std::wstring temp = make_scratch_directory(L"cut_off");
    WaitingLauncher run;
    start_waiting(run, 0, temp);
    HANDLE held = CreateFileW((run.unpack_directory + L"\\data\\note.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    write_file(run.go, "go");
    for (DWORD waited = 0; path_exists(run.unpack_directory + L"\\probe.dll") && waited < scaled_timeout(60000);
         waited += 10)
        Sleep(10);
    EXPECT_EQ(WaitForSingleObject(run.process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not cut off";
    TerminateProcess(run.process.hProcess, 1);
    WaitForSingleObject(run.process.hProcess, scaled_timeout(30000));
    CloseHandle(held);
    EXPECT_TRUE(path_exists(run.unpack_directory + L"\\data\\note.txt"));
    for (int start = 0; start < 5 && path_exists(run.unpack_directory); start++)
        EXPECT_EQ(run_launcher(launcher(L"probe"), {L"args"}, with_temp(temp)).exit_code, 0u);
    EXPECT_TRUE(list_directory(temp).empty());
    finish(run);
    remove_tree(temp);
}

namespace {

// `count` trees of launchers that are gone, in `temp`, each of `folders`
// folders of `files` files; their names, and how many entries they hold,
// the roots included.
size_t make_dead_trees(const std::wstring &temp, size_t count, size_t folders, size_t files)
{
    for (size_t i = 0; i < count; i++) {
        wchar_t name[64];
        swprintf(name, 64, L"onefile_%zu_123456_deadTree%03zu", 400000 + i, i);
        std::wstring tree = temp + L"\\" + name;
        CreateDirectoryW(tree.c_str(), nullptr);
        for (size_t folder = 0; folder < folders; folder++) {
            std::wstring below = tree + L"\\part" + std::to_wstring(folder);
            CreateDirectoryW(below.c_str(), nullptr);
            for (size_t file = 0; file < files; file++)
                write_file(below + L"\\file" + std::to_wstring(file) + L".txt", "left by a launcher that is gone");
        }
    }
    return count * (1 + folders * (1 + files));
}

size_t count_entries(const std::wstring &folder, const std::wstring &prefix = L"")
{
    size_t entries = 0;
    for (const std::wstring &name : list_directory(folder, prefix)) {
        std::wstring path = folder + L"\\" + name;
        entries += 1 + ((GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0 ? count_entries(path) : 0);
    }
    return entries;
}

// A per-run launcher sweeps while its child runs, a reusing one in its own
// process while run_code runs.
const wchar_t *const sweeping_launchers[] = {L"probe", L"probe_kept"};

}  // namespace

// An application that ends at once: its launcher's exit does not wait for
// a crowded TEMP to be swept, and yet it removes the minimum.
TEST(Sweep, AQuickStartInACrowdedTempLeavesTheRestToLaterStarts)
{
    for (const wchar_t *name : sweeping_launchers) {
        std::wstring temp = make_scratch_directory(L"sweep_crowded");
        size_t before = make_dead_trees(temp, 10, 4, 100);
        ProcessResult result = run_launcher(launcher(name), {L"exit", L"0"}, with_temp(temp));
        EXPECT_EQ(result.exit_code, 0u) << result.err;
        size_t after = count_entries(temp, L"onefile_");
        EXPECT_LE(after + sweep_minimum_entries, before) << narrow(name);
        EXPECT_GT(after, 0u) << narrow(name) << ": the exit waited for the whole sweep";
        remove_tree(temp);
    }
}

// Each start goes on where the last one stopped: a dead tree is gone after
// as many quick starts as the minimum needs for it.
TEST(Sweep, ADeadTreeIsGoneAfterABoundedNumberOfQuickStarts)
{
    for (const wchar_t *name : sweeping_launchers) {
        std::wstring temp = make_scratch_directory(L"sweep_bounded");
        size_t entries = make_dead_trees(temp, 1, 3, 10);
        size_t starts = 0;
        for (; count_entries(temp, L"onefile_4") > 0 && starts < (entries + sweep_minimum_entries - 1) / sweep_minimum_entries;
             starts++)
            EXPECT_EQ(run_launcher(launcher(name), {L"exit", L"0"}, with_temp(temp)).exit_code, 0u);
        EXPECT_EQ(count_entries(temp, L"onefile_4"), 0u) << narrow(name) << " after " << starts << " starts";
        remove_tree(temp);
    }
}

// ------------------------------------------------------------- hostile places

TEST(Security, DependencyPlantedBesideTheLauncherOrInTheCurrentDirectoryIsNeverLoaded)
{
    // The launcher copied into a folder that also holds a planted
    // origin_dep.dll, started from another such folder.
    std::wstring scratch = make_scratch_directory(L"planted");
    std::wstring beside = scratch + L"\\beside", current = test_binary_directory() + L"\\planted";
    CreateDirectoryW(beside.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(launcher(L"search").c_str(), (beside + L"\\search.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((current + L"\\origin_dep.dll").c_str(), (beside + L"\\origin_dep.dll").c_str(), FALSE));
    ProcessOptions options = with_temp(scratch);
    options.current_directory = current;
    ProcessResult result = run_launcher(beside + L"\\search.exe", {}, options);
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(result.out, "dependency: unpack directory\n");
    EXPECT_EQ(list_directory(scratch), std::vector<std::wstring>{L"beside"});
    remove_tree(scratch);
}

TEST(Security, LoadsByABareNameFindTheTreeAndSystem32Only)
{
    // by_name.dll is packed, and planted beside the launcher, in the
    // current directory and on PATH; orphan_dep.dll is only planted.
    std::wstring planted = test_binary_directory() + L"\\planted";
    const struct {
        const wchar_t *name, *function;
        std::string loaded;
    } cases[] = {
        {L"by_name.dll", L"by_name_text", "packed"},
        {L"orphan_dep.dll", L"orphan_text", "error 126"},
        {L"version.dll", nullptr, "loaded"},
    };
    for (const wchar_t *name : {L"load", L"load_kept"}) {
        std::wstring scratch = make_scratch_directory(L"by_name");
        std::wstring beside = scratch + L"\\beside";
        CreateDirectoryW(beside.c_str(), nullptr);
        std::wstring copy = beside + L"\\" + name + L".exe";
        ASSERT_TRUE(CopyFileW(launcher(name).c_str(), copy.c_str(), FALSE));
        for (const wchar_t *library : {L"by_name.dll", L"orphan_dep.dll"})
            ASSERT_TRUE(CopyFileW((planted + L"\\" + library).c_str(), (beside + L"\\" + library).c_str(), FALSE));
        ProcessOptions options = with_temp(scratch);
        options.current_directory = planted;
        wchar_t path[32768];
        GetEnvironmentVariableW(L"PATH", path, 32768);
        options.environment[L"PATH"] = planted + L";" + path;
        for (const auto &c : cases) {
            std::vector<std::wstring> arguments = {L"load", c.name};
            if (c.function != nullptr)
                arguments.push_back(c.function);
            ProcessResult result = run_launcher(copy, arguments, options);
            EXPECT_EQ(result.exit_code, 0u) << result.err;
            EXPECT_EQ(value_of(parse_report(result.out), "load"), c.loaded) << narrow(name) << " " << narrow(c.name);
        }
        remove_tree(scratch);
    }
}

#ifdef VESKAR_HAVE_CRAFTED_ARCHIVES
TEST(Reports, PathOutsideTheCodePageIsPrintedWholeWithReplacements)
{
    std::wstring temp = make_scratch_directory(L"report") + L"\\\u0416\u0443\u043a \u6f22\u5b57 caf\u00e9";
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    char ansi[1024] = "";
    WideCharToMultiByte(CP_ACP, 0, temp.c_str(), -1, ansi, sizeof ansi, GetACP() == CP_UTF8 ? nullptr : "?", nullptr);
    for (const wchar_t *name : {L"file_where_a_folder_is", L"file_where_a_folder_is_one"}) {
        ProcessResult result = run_launcher(launcher(name), {L"exit"}, with_temp(temp));
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(without_unpack_directory_name(result.err),
                  "Error, failed to open '" + std::string(ansi) + "\\*\\x' for writing.\r\n");
    }
    remove_tree(parent_of(temp));
}
#endif

TEST(Security, TempWithBlanksLettersOfOtherScriptsAndTwoHundredUnits)
{
    std::wstring odd = make_scratch_directory(L"odd_temp") + L"\\with blanks \u00e9\u0416\u4e2d ";
    odd += std::wstring(odd.size() < 196 ? 196 - odd.size() : 0, L'x');
    std::wstring temp = odd + L"\\end";
    ASSERT_GE(temp.size(), 200u);
    ASSERT_TRUE(CreateDirectoryW(parent_of(temp).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    ProcessResult result = run_launcher(launcher(L"probe"), {L"args"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(parent_of(parent_of(from_hex(value_of(parse_report(result.out), "library")))), temp);
    EXPECT_TRUE(list_directory(temp).empty());
}

// A place named at pack time below a folder that others may change is not
// used, with reuse or without: the run goes to a fresh directory in TEMP.
// Below folders of the user's own it is used.
TEST(Security, PlaceBelowAFolderOthersMayChangeIsNotUsed)
{
    for (const wchar_t *name : {L"beside_kept", L"beside_run"}) {
        for (bool shared : {false, true}) {
            std::wstring scratch = make_scratch_directory(L"place");
            std::wstring temp = scratch + L"\\temp", folder = scratch + L"\\folder", app = folder + L"\\app";
            for (const std::wstring &made : {temp, folder, app})
                CreateDirectoryW(made.c_str(), nullptr);
            std::wstring copy = app + L"\\" + name + L".exe";
            ASSERT_TRUE(CopyFileW(launcher(name).c_str(), copy.c_str(), FALSE));
            if (shared)
                open_to_everyone(folder);
            ProcessResult result = run_launcher(copy, {L"args"}, with_temp(temp));
            EXPECT_EQ(result.exit_code, 0u) << result.err;
            std::wstring used = parent_of(from_hex(value_of(parse_report(result.out), "library")));
            EXPECT_EQ(parent_of(used), shared ? temp : app) << narrow(name);
            if (shared) {
                EXPECT_EQ(name_of(used).rfind(L"onefile_", 0), 0u) << narrow(used);
                EXPECT_EQ(names_in(app), std::vector<std::wstring>{name_of(copy)});
            }
            remove_tree(scratch);
        }
    }
}

// For the long-path script, run under Wine's file trace: each launcher
// named runs twice with a TEMP of 252 units, so that every path it makes
// there is past the system's limit; 0 when every run ran its application.
VESKAR_HELPER(long_paths)
{
    std::wstring scratch = make_scratch_directory(L"long");
    std::wstring temp = scratch + L"\\" + std::wstring(251 - scratch.size(), L'l');
    CreateDirectoryW((L"\\\\?\\" + temp).c_str(), nullptr);  // this program's own calls in the form the trace allows
    bool passed = true;
    for (const std::wstring &executable : arguments) {
        for (int run = 0; run < 2; run++) {
            ProcessResult result = run_launcher(executable, {L"args"}, with_temp(temp));
            // probe.dll reports its library; layered's finds both its dependencies.
            bool ran = result.exit_code == 0 && (values_of(parse_report(result.out), "library").size() == 1 ||
                                                 result.out == "dependency: lib folder\ndependency: unpack directory\n");
            if (!ran)
                printf("%s did not run: %s\n", narrow(executable).c_str(), result.err.c_str());
            passed = passed && ran;
        }
    }
    remove_tree(L"\\\\?\\" + scratch);
    return passed ? 0 : 1;
}

// ----------------------------------------------------- what a launcher loads

// The import directory of an executable: the names of the libraries it needs.
std::vector<std::string> imported_libraries(const std::wstring &executable)
{
    std::vector<std::string> names;
    HMODULE image = LoadLibraryExW(executable.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (image == nullptr)
        return names;
    auto base = reinterpret_cast<const unsigned char *>(image);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && entry->Name != 0; entry++)
        names.push_back(reinterpret_cast<const char *>(base + entry->Name));
    FreeLibrary(image);
    return names;
}

TEST(Imports, ALauncherStartsWithKernel32AndTheRuntimeOnly)
{
    EXPECT_EQ(imported_libraries(launcher(L"probe")), (std::vector<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
    // At run time: neither process has the window, graphics, imaging, COM or
    // shell libraries; the parent has the security library, the child not.
    ProcessResult result = run_launcher(launcher(L"probe"), {L"modules"});
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    Report report = parse_report(result.out);
    ASSERT_EQ(value_of(report, "parent modules listed"), "yes");
    for (const char *library : {"user32.dll", "gdi32.dll", "ole32.dll", "windowscodecs.dll", "shell32.dll",
                                "shlwapi.dll"}) {
        EXPECT_EQ(value_of(report, std::string("parent ") + library), "absent") << library;
        EXPECT_EQ(value_of(report, std::string("child ") + library), "absent") << library;
    }
    EXPECT_EQ(value_of(report, "child advapi32.dll"), "absent");

    // A reusing launcher at its default place, below the local application
    // data, finds that folder without the shell either.
    std::wstring temp = make_scratch_directory(L"imports");
    result = run_launcher(launcher(L"kept_default"), {L"modules"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    report = parse_report(result.out);
    for (const char *library : {"user32.dll", "gdi32.dll", "shell32.dll", "shlwapi.dll"})
        EXPECT_EQ(value_of(report, std::string("child ") + library), "absent") << library;
    wchar_t local[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local), S_OK);
    for (const std::wstring &tree : list_directory(std::wstring(local) + L"\\VeskarOnefile", L"kept_default_"))
        remove_tree(std::wstring(local) + L"\\VeskarOnefile\\" + tree);
    remove_tree(temp);
}

// ------------------------------------------- what Windows reads in the image

TEST(LauncherImage, VersionInformationReadsBackThroughTheVersionFunctions)
{
    const std::wstring exe = launcher(L"probe_described");
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version information, error " << GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00020005u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translation),
                               &length));
    ASSERT_GE(length, 4u);
    wchar_t table[32];
    swprintf(table, 32, L"\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    const std::pair<const wchar_t *, const wchar_t *> strings[] = {
        {L"FileVersion", L"1.2.3.4"},           {L"ProductVersion", L"2.5"},
        {L"ProductName", L"Probe Z\u00fcrich"}, {L"CompanyName", L"Veskar tests"},
        {L"FileDescription", L"Probe application"}, {L"LegalCopyright", L"(c) nobody"},
        {L"OriginalFilename", L"probe_described.exe"}, {L"InternalName", L"probe"},
    };
    for (const auto &[key, expected] : strings) {
        wchar_t *value = nullptr;
        EXPECT_TRUE(VerQueryValueW(info.data(), (std::wstring(table) + key).c_str(),
                                   reinterpret_cast<void **>(&value), &length))
            << narrow(key);
        if (value)
            EXPECT_EQ(std::wstring(value), expected) << narrow(key);
    }
    // A launcher packed without --version-info has none.
    EXPECT_EQ(GetFileVersionInfoSizeW(launcher(L"probe").c_str(), &ignored), 0u);
}

// The manifest as the loader finds it: resource type 24, id 1.
std::string manifest_of(const std::wstring &exe)
{
    HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!image)
        return "";
    std::string text;
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
    if (loaded)
        text.assign(static_cast<const char *>(LockResource(loaded)), SizeofResource(image, found));
    FreeLibrary(image);
    return text;
}

TEST(LauncherImage, ManifestRequestsTheGivenExecutionLevel)
{
    EXPECT_NE(manifest_of(launcher(L"probe_described")).find("level=\"highestAvailable\""), std::string::npos);
    const std::string plain = manifest_of(launcher(L"probe"));
    EXPECT_NE(plain.find("level=\"asInvoker\""), std::string::npos) << plain;
    EXPECT_NE(plain.find("longPathAware"), std::string::npos) << plain;
    // The described launcher runs like the plain one.
    std::wstring temp = make_scratch_directory(L"described");
    ProcessResult result = run_launcher(launcher(L"probe_described"), {L"exit", L"5"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 5u) << result.out << result.err;
    EXPECT_TRUE(list_directory(temp).empty());
}

#ifdef VESKAR_HAVE_SIGNED_LAUNCHER
TEST(LauncherImage, SignedLauncherUnpacksRunsAndPassesTheStatus)
{
    std::wstring temp = make_scratch_directory(L"signed");
    ProcessResult result = run_launcher(launcher(L"probe_signed"), {L"args", L"signed"}, with_temp(temp));
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    EXPECT_EQ(from_hex(values_of(parse_report(result.out), "argument").at(2)), L"signed");
    result = run_launcher(launcher(L"probe_signed"), {L"exit", L"0xC0000005"}, with_temp(temp));
    EXPECT_EQ(result.exit_code, 0xC0000005u) << result.out << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(list_directory(temp).empty());
}
#endif

// ------------------------------------------------------------ entry programs

namespace {

// The launchers of entry.exe (entry_app.cpp): a console and a GUI program.
const wchar_t *const entry_launchers[] = {L"entry_console", L"entry_gui"};

// The fixed arguments packed with them (CMakeLists.txt), as the program
// must receive them from a tree at `tree`.
std::vector<std::wstring> exe_entry_fixed_arguments(const std::wstring &tree)
{
    return {L"fixed:" + tree + L"\\script.txt", L"fixed:two words", L"fixed:say \"hi\"", L"fixed:back\\slash and words",
            L"fixed:" + tree + L"|" + tree, L"fixed:caf\u00e9 \u0436"};
}

std::vector<std::wstring> received_arguments(const Report &report)
{
    std::vector<std::wstring> received;
    for (const std::string &value : values_of(report, "argument"))
        received.push_back(from_hex(value));
    return received;
}

}  // namespace

TEST(ExeEntry, ProgramGetsFixedThenUserArgumentsTheCallersFolderAndTheVariables)
{
    for (const wchar_t *name : entry_launchers) {
        std::wstring temp = make_scratch_directory(L"entry_args");
        std::wstring caller_folder = make_scratch_directory(L"entry_caller");
        ProcessOptions options = with_temp(temp);
        options.current_directory = caller_folder;
        std::vector<std::wstring> arguments = {L"args"};
        arguments.insert(arguments.end(), tricky_arguments.begin(), tricky_arguments.end());
        ProcessResult result = run_launcher(launcher(name), arguments, options);
        ASSERT_EQ(result.exit_code, 0u) << narrow(name) << result.out << result.err;
        Report report = parse_report(result.out);
        std::wstring program = from_hex(value_of(report, "program"));
        std::wstring tree = parent_of(program);
        EXPECT_EQ(parent_of(tree), temp);
        std::vector<std::wstring> expected = {program};
        for (const std::wstring &fixed : exe_entry_fixed_arguments(tree))
            expected.push_back(fixed);
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(received_arguments(report), expected) << narrow(name) << result.out;
        EXPECT_EQ(from_hex(value_of(report, "working directory")), caller_folder);
        EXPECT_EQ(from_hex(value_of(report, "VESKAR_ONEFILE_TREE")), tree);
        EXPECT_EQ(from_hex(value_of(report, "VESKAR_ONEFILE_DIRECTORY")), test_binary_directory());
        EXPECT_EQ(from_hex(value_of(report, "VESKAR_ORIGINAL_ARGV0")), launcher(name));
        EXPECT_NE(value_of(report, "VESKAR_ONEFILE_PARENT"), "unset");
        // What only names the unpack directory for a child is not passed on.
        EXPECT_EQ(value_of(report, "VESKAR_ONEFILE_RANDOM"), "unset");
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(list_directory(temp).empty()) << narrow(name);
    }
}

TEST(ExeEntry, ProgramGetsTheRestOfTheCommandLineAsTyped)
{
    // Tails that splitting and quoting again would change.
    const std::wstring tails[] = {
        L" args \"a\"\"b\" c",
        L"  args\t\"two  blanks\"   \t",
        L" args a\\\\\"b \"unclosed",
        L" args \"\" \"\"\"\"",
    };
    for (const wchar_t *name : entry_launchers) {
        for (const std::wstring &tail : tails) {
            std::wstring line = quote_for_test(launcher(name)) + tail;
            ProcessResult result = run_process(launcher(name), line);
            ASSERT_EQ(result.exit_code, 0u) << narrow(name) << result.out << result.err;
            std::wstring received = from_hex(value_of(parse_report(result.out), "command line"));
            ASSERT_GE(received.size(), tail.size());
            EXPECT_EQ(received.substr(received.size() - tail.size()), tail) << narrow(name) << " " << narrow(tail);
        }
    }
}

TEST(ExeEntry, StandardStreamsAreTheCallersBothWays)
{
    const std::string input = "first line\r\nsecond line \xc3\xbc\n";
    for (const wchar_t *name : entry_launchers) {
        ProcessOptions options;
        options.input = input;
        ProcessResult result = run_launcher(launcher(name), {L"echo"}, options);
        EXPECT_EQ(result.exit_code, 0u) << narrow(name);
        EXPECT_EQ(result.out, input) << narrow(name);
        EXPECT_EQ(result.err, "to standard error\n") << narrow(name);
    }
}

TEST(ExeEntry, ProgramStatusBecomesTheLaunchersInFull)
{
    for (const wchar_t *name : entry_launchers) {
        for (DWORD status : {0u, 259u, 0xC0000005u, 0x12345678u}) {
            std::wstring temp = make_scratch_directory(L"entry_status");
            ProcessResult result = run_launcher(launcher(name), {L"exit", std::to_wstring(status)}, with_temp(temp));
            EXPECT_EQ(result.exit_code, status) << narrow(name) << result.out << result.err;
            EXPECT_TRUE(list_directory(temp).empty()) << narrow(name) << " left a tree after " << status;
        }
    }
}

TEST(ExeEntry, KilledLauncherTakesTheProgramWithItAndTheNextStartSweepsItsTree)
{
    std::wstring temp = make_scratch_directory(L"entry_killed");
    WaitingLauncher run;
    start_waiting(run, 0, temp, L"entry_console");
    if (!HasFatalFailure()) {
        ASSERT_TRUE(TerminateProcess(run.process.hProcess, 1));
        EXPECT_EQ(WaitForSingleObject(run.application, scaled_timeout(30000)), WAIT_OBJECT_0)
            << "the program outlived its launcher";
        EXPECT_FALSE(path_exists(run.ready + L".done"));
        ProcessResult next = run_launcher(launcher(L"entry_console"), {L"exit", L"0"}, with_temp(temp));
        EXPECT_EQ(next.exit_code, 0u) << next.err;
        EXPECT_FALSE(path_exists(run.unpack_directory));
    }
    finish(run);
    remove_tree(temp);
}

TEST(ExeEntry, ProgramsTheEntryStartsLiveOnAndTheirTreeGoesAtALaterStart)
{
    std::wstring temp = make_scratch_directory(L"entry_spawn");
    std::wstring scratch = make_scratch_directory(L"entry_spawn_control");
    std::wstring ready = scratch + L"\\ready.txt", go = scratch + L"\\go";
    ProcessResult result = run_launcher(launcher(L"entry_console"), {L"spawn", ready, go}, with_temp(temp));
    ASSERT_EQ(result.exit_code, 7u) << result.out << result.err;
    std::string written = read_file(ready);
    size_t line_end = written.find('\n');
    HANDLE copy = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(written.substr(0, line_end))));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(WaitForSingleObject(copy, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended with the launcher";
    std::wstring tree = parent_of(widen(written.substr(line_end + 1, written.find('\n', line_end + 1) - line_end - 1)));
    write_file(go, "go");
    EXPECT_EQ(WaitForSingleObject(copy, scaled_timeout(60000)), WAIT_OBJECT_0);
    CloseHandle(copy);
    EXPECT_TRUE(path_exists(ready + L".done"));
    EXPECT_EQ(run_launcher(launcher(L"entry_console"), {L"exit", L"0"}, with_temp(temp)).exit_code, 0u);
    EXPECT_FALSE(path_exists(tree));
    remove_tree(temp);
}

TEST(ExeEntry, RelaunchThroughTheLauncherIsAWholeNewStart)
{
    std::wstring temp = make_scratch_directory(L"entry_relaunch");
    ProcessResult result = run_launcher(launcher(L"entry_console"), {L"relaunch"}, with_temp(temp));
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    Report report = parse_report(result.out);
    EXPECT_EQ(value_of(report, "relaunch status"), "0");
    std::vector<std::string> programs = values_of(report, "program");
    ASSERT_EQ(programs.size(), 2u) << result.out;
    std::wstring outer = parent_of(from_hex(programs[0])), inner = parent_of(from_hex(programs[1]));
    EXPECT_NE(outer, inner);
    EXPECT_EQ(parent_of(inner), temp);
    // The second launcher started the program as a first start does.
    std::vector<std::wstring> expected = {from_hex(programs[1])};
    for (const std::wstring &fixed : exe_entry_fixed_arguments(inner))
        expected.push_back(fixed);
    expected.push_back(L"args");
    EXPECT_EQ(received_arguments(report), expected);
    EXPECT_EQ(from_hex(value_of(report, "VESKAR_ONEFILE_TREE")), inner);
    EXPECT_TRUE(list_directory(temp).empty());
}

TEST(ExeEntry, ReusingLauncherStartsTheProgramFromTheKeptTree)
{
    std::wstring temp = make_scratch_directory(L"entry_kept");
    std::wstring trees[2];
    for (std::wstring &tree : trees) {
        ProcessResult result = run_launcher(launcher(L"entry_kept"), {L"args", L"x"}, with_temp(temp));
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
        Report report = parse_report(result.out);
        tree = from_hex(value_of(report, "VESKAR_ONEFILE_TREE"));
        EXPECT_EQ(received_arguments(report), (std::vector<std::wstring>{tree + L"\\entry.exe", L"args", L"x"}));
    }
    EXPECT_EQ(trees[0], trees[1]);
    EXPECT_EQ(names_in(temp), std::vector<std::wstring>{name_of(trees[0])});
    EXPECT_TRUE(path_exists(trees[0] + L"\\script.txt"));
    remove_tree(temp);
}
