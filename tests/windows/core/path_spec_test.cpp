// Path spec expansion: placeholders, the scanning rules, capacities, and the
// hand-off variables that make a second expansion name the same directory.
#include "core_test_helpers.h"
#include "launcher.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <cwctype>
#include <string>

namespace {

const wchar_t *const hand_off_variables[] = {L"VESKAR_ONEFILE_PARENT", L"VESKAR_ONEFILE_START",
                                             L"VESKAR_ONEFILE_TIME_US", L"VESKAR_ONEFILE_RANDOM"};
const std::wstring random_alphabet = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

class PathSpec : public testing::Test {
protected:
    void SetUp() override
    {
        reset_launcher_state();
        for (const wchar_t *name : hand_off_variables)
            set_variable(name, nullptr);
    }

    // Expands into a buffer with a guard after the capacity, which must survive.
    bool expand(const std::wstring &spec, size_t capacity = 4096)
    {
        buffer.assign(capacity + 16, L'#');
        bool result = expand_path_spec(buffer.data(), spec.c_str(), capacity);
        EXPECT_EQ(std::wstring(buffer.data() + capacity, 16), std::wstring(16, L'#')) << "written past the capacity";
        output = buffer.data();
        return result;
    }

    void set_program(const wchar_t *argument0)
    {
        arguments[0] = const_cast<wchar_t *>(argument0);
        launcher_state.argument_count = 1;
        launcher_state.argument_vector = arguments;
    }

    std::wstring own_pid() { return std::to_wstring(GetCurrentProcessId()); }

    std::vector<wchar_t> buffer;
    std::wstring output;
    wchar_t *arguments[2] = {nullptr, nullptr};
};

bool is_random_text(const std::wstring &text)
{
    if (text.size() != 11)
        return false;
    for (wchar_t c : text) {
        if (random_alphabet.find(c) == std::wstring::npos)
            return false;
    }
    // 8 bytes fill only the top two bits of the last character's six.
    return random_alphabet.find(text[10]) % 4 == 0;
}

int64_t system_time_count()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}

}  // namespace

TEST_F(PathSpec, ScanningRules)
{
    EXPECT_TRUE(expand(L""));
    EXPECT_EQ(output, L"");
    EXPECT_TRUE(expand(L"plain\\text"));
    EXPECT_EQ(output, L"plain\\text");

    // A spec that ends inside a placeholder drops the partial name.
    EXPECT_TRUE(expand(L"abc{TEM"));
    EXPECT_EQ(output, L"abc");
    // A second "{" restarts the name.
    EXPECT_TRUE(expand(L"{XX{PID}"));
    EXPECT_EQ(output, own_pid());
    EXPECT_TRUE(expand(L"a{b{PID}c"));
    EXPECT_EQ(output, L"a" + own_pid() + L"c");
    // A "}" that closes nothing is literal text.
    EXPECT_TRUE(expand(L"a}b"));
    EXPECT_EQ(output, L"a}b");
    EXPECT_TRUE(expand(L"}{PID}}"));
    EXPECT_EQ(output, L"}" + own_pid() + L"}");

    // Unknown names and the empty name fail, keeping the text before them.
    EXPECT_FALSE(expand(L"{USER}"));
    EXPECT_EQ(output, L"");
    EXPECT_FALSE(expand(L"a{USER}"));
    EXPECT_EQ(output, L"a");
    EXPECT_FALSE(expand(L"x{}y"));
    EXPECT_EQ(output, L"x");
    EXPECT_FALSE(expand(L"{PID}-{PID }"));
    EXPECT_EQ(output, own_pid() + L"-");
}

TEST_F(PathSpec, NamesCompareCaseInsensitively)
{
    ASSERT_TRUE(expand(L"{TEMP}"));
    std::wstring temp = output;
    ASSERT_FALSE(temp.empty());
    for (const wchar_t *spec : {L"{temp}", L"{Temp}", L"{tEmP}"}) {
        EXPECT_TRUE(expand(spec)) << narrow(spec);
        EXPECT_EQ(output, temp) << narrow(spec);
    }
    EXPECT_TRUE(expand(L"{pid}/{Pid}"));
    EXPECT_EQ(output, own_pid() + L"/" + own_pid());
}

TEST_F(PathSpec, PlaceholderNamesLongerThanTheirBuffer)
{
    std::wstring long_name(1024, L'A');
    EXPECT_FALSE(expand(L"a{" + long_name + L"}"));
    EXPECT_EQ(output, L"a");
    EXPECT_FALSE(expand(L"a{" + std::wstring(5000, L'B') + L"}b"));
    EXPECT_EQ(output, L"a");
    // The scanning rules still hold for over-long text: a "{" restarts the
    // name and an unclosed one is dropped at the end of the spec.
    EXPECT_TRUE(expand(L"a{" + long_name + L"{PID}"));
    EXPECT_EQ(output, L"a" + own_pid());
    EXPECT_TRUE(expand(L"a{" + long_name));
    EXPECT_EQ(output, L"a");
    // The longest name that fits is looked up like any other.
    EXPECT_FALSE(expand(L"b{" + std::wstring(1023, L'C') + L"}"));
    EXPECT_EQ(output, L"b");
}

TEST_F(PathSpec, TemporaryDirectoryLosesItsTrailingSeparators)
{
    std::wstring scratch = make_scratch_directory(L"temp_trim");
    ProcessOptions options;
    options.environment[L"TMP"] = scratch + L"\\";
    options.environment[L"TEMP"] = scratch + L"\\";
    ProcessResult result = run_helper("expand", {L"{TEMP}\\x"}, options);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, narrow(scratch) + "\\x\r\n");

    // The trim looks at the whole output: a separator in front of TEMP goes too.
    result = run_helper("expand", {L"{TEMP}"}, options);
    EXPECT_EQ(result.out, narrow(scratch) + "\r\n");
    remove_tree(scratch);
}

TEST_F(PathSpec, UnpackDirectoryFromHandOffVariables)
{
    std::wstring scratch = make_scratch_directory(L"temp_unpack");
    ProcessOptions options;
    options.environment[L"TMP"] = scratch + L"\\";
    options.environment[L"TEMP"] = scratch + L"\\";
    options.environment[L"VESKAR_ONEFILE_PARENT"] = L"1234";
    options.environment[L"VESKAR_ONEFILE_TIME_US"] = L"000042";
    options.environment[L"VESKAR_ONEFILE_RANDOM"] = L"IQHFT9HQGrI";
    ProcessResult result = run_helper("expand", {default_unpack_path_spec}, options);
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, narrow(scratch) + "\\onefile_1234_000042_IQHFT9HQGrI\r\n");

    // Stored values are used as they are, whatever they hold.
    options.environment[L"VESKAR_ONEFILE_TIME_US"] = L"not a number";
    options.environment[L"VESKAR_ONEFILE_START"] = L"start";
    result = run_helper("expand", {L"{TIME_US}|{RANDOM}|{TIME}"}, options);
    EXPECT_EQ(result.out, "not a number|IQHFT9HQGrI|start\r\n");
    remove_tree(scratch);
}

TEST_F(PathSpec, ProgramPlaceholders)
{
    struct Case {
        const wchar_t *argument0, *program_base, *program_dir;  // null: as for the launcher's own full path
    };
    const Case cases[] = {
        {L"C:\\apps\\Tool.EXE", L"C:\\apps\\Tool", L"C:\\apps"},
        {L"C:\\a\\Tool.exe.bak", L"C:\\a\\Tool.exe.bak", L"C:\\a"},
        {L"C:\\x.y\\run", L"C:\\x.y\\run", L"C:\\x.y"},
        {L"\\\\server\\share\\Tool.exe", L"\\\\server\\share\\Tool", L"\\\\server\\share"},
        // No full path: never a directory relative to the working directory.
        {L"Tool.exe", nullptr, nullptr},
        {L".exe", nullptr, nullptr},
        {L".\\Tool.exe", nullptr, nullptr},
        {L"bin\\Tool", nullptr, nullptr},
        {L"C:Tool.exe", nullptr, nullptr},
        {L"\\Tool.exe", nullptr, nullptr},
    };
    std::wstring own = own_executable_path();
    for (const Case &c : cases) {
        set_program(c.argument0);
        bool full = c.program_base != nullptr;
        EXPECT_TRUE(expand(L"{PROGRAM}"));
        EXPECT_EQ(output, full ? c.argument0 : own);
        EXPECT_TRUE(expand(L"<{PROGRAM_BASE}>"));
        EXPECT_EQ(output, L"<" + (full ? c.program_base : own.substr(0, own.size() - 4)) + L">") << narrow(c.argument0);
        EXPECT_TRUE(expand(L"<{PROGRAM_DIR}>"));
        EXPECT_EQ(output, L"<" + (full ? c.program_dir : own.substr(0, own.find_last_of(L'\\'))) + L">")
            << narrow(c.argument0);
    }
    // The nested expansion gets only the room that is left.
    set_program(L"C:\\apps\\Tool.exe");
    EXPECT_TRUE(expand(L"ab{PROGRAM_BASE}", 19));
    EXPECT_EQ(output, L"abC:\\apps\\Tool");
}

TEST_F(PathSpec, RandomTextEncodesItsEightBytes)
{
    struct Case {
        uint8_t bytes[8];
        const wchar_t *text;
    } cases[] = {
        {{0x21, 0x01, 0xc5, 0x4f, 0xd1, 0xd0, 0x1a, 0xb2}, L"IQHFT9HQGrI"},
        {{0xc4, 0x58, 0x19, 0xdc, 0xe9, 0xcb, 0x34, 0x89}, L"xFgZ3OnLNIk"},
        {{0, 0, 0, 0, 0, 0, 0, 0}, L"AAAAAAAAAAA"},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, L"__________8"},
    };
    for (const Case &c : cases) {
        wchar_t text[12];
        make_random_text(c.bytes, text);
        EXPECT_STREQ(text, c.text);
    }
}

TEST_F(PathSpec, GeneratedValuesArePublished)
{
    for (int round = 0; round < 50; round++) {
        set_variable(L"VESKAR_ONEFILE_RANDOM", nullptr);
        ASSERT_TRUE(expand(L"{RANDOM}"));
        EXPECT_TRUE(is_random_text(output)) << narrow(output);
        EXPECT_EQ(variable_or_absent(L"VESKAR_ONEFILE_RANDOM"), output);
    }

    ASSERT_TRUE(expand(L"{TIME_US}"));
    ASSERT_EQ(output.size(), 6u);
    for (wchar_t c : output)
        EXPECT_TRUE(std::iswdigit(c)) << narrow(output);
    EXPECT_EQ(variable_or_absent(L"VESKAR_ONEFILE_TIME_US"), output);

    int64_t before = system_time_count();
    ASSERT_TRUE(expand(L"{TIME}"));
    int64_t after = system_time_count();
    EXPECT_EQ(variable_or_absent(L"VESKAR_ONEFILE_START"), output);
    ASSERT_FALSE(output.empty());
    EXPECT_NE(output[0], L'0');
    int64_t time = std::stoll(output);
    EXPECT_LE(before, time);
    EXPECT_LE(time, after);
}

TEST_F(PathSpec, SecondExpansionNamesTheSameDirectory)
{
    ASSERT_TRUE(expand(default_unpack_path_spec));
    std::wstring first = output;
    std::wstring random = variable_or_absent(L"VESKAR_ONEFILE_RANDOM");
    std::wstring time_us = variable_or_absent(L"VESKAR_ONEFILE_TIME_US");
    EXPECT_EQ(first, temp_directory() + L"\\onefile_" + own_pid() + L"_" + time_us + L"_" + random);
    EXPECT_TRUE(is_random_text(random));
    EXPECT_EQ(variable_or_absent(L"VESKAR_ONEFILE_START"), L"<absent>");

    ASSERT_TRUE(expand(default_unpack_path_spec));
    EXPECT_EQ(output, first);

    // A child that inherits the environment, and takes PID from the parent's variable.
    set_variable(L"VESKAR_ONEFILE_PARENT", own_pid().c_str());
    ProcessResult child = run_helper("expand", {default_unpack_path_spec});
    EXPECT_EQ(child.exit_code, 0u);
    EXPECT_EQ(child.out, narrow(first) + "\r\n");
}

TEST_F(PathSpec, ProcessIdentifier)
{
    EXPECT_TRUE(expand(L"{PID}"));
    EXPECT_EQ(output, own_pid());
    set_variable(L"VESKAR_ONEFILE_PARENT", L"0042");
    EXPECT_TRUE(expand(L"{PID}"));
    EXPECT_EQ(output, L"0042");
    set_variable(L"VESKAR_ONEFILE_PARENT", L"");
    EXPECT_TRUE(expand(L"{PID}"));
    EXPECT_EQ(output, own_pid());

    // Anything but digits ends the process, also what a number parser would accept.
    for (const wchar_t *value : {L"12a", L"+12", L" 12", L"-1", L"0x1F"}) {
        ProcessOptions options;
        options.environment[L"VESKAR_ONEFILE_PARENT"] = value;
        ProcessResult result = run_helper("expand", {L"{PID}"}, options);
        EXPECT_EQ(result.exit_code, 3u) << narrow(value);
        EXPECT_EQ(result.out, "") << narrow(value);
    }
}

TEST_F(PathSpec, Capacity)
{
    // Literal text that does not fit fails, never truncating past the room.
    EXPECT_FALSE(expand(L"abcdef", 4));
    EXPECT_EQ(output, L"abc");
    EXPECT_TRUE(expand(L"abc", 4));
    EXPECT_EQ(output, L"abc");
    EXPECT_FALSE(expand(L"a", 1));
    EXPECT_EQ(output, L"");

    // A temporary directory longer than the room is never written past it.
    EXPECT_TRUE(expand(L"ab{TEMP}", 5));
    EXPECT_EQ(output.substr(0, 2), L"ab");
    EXPECT_LT(output.size(), 5u);

    // A value that does not fit ends the process.
    struct Case {
        const wchar_t *spec, *capacity;
    };
    for (const Case &c : {Case{L"{PID}", L"4"}, Case{L"ab{RANDOM}", L"13"}, Case{L"{HOME}", L"3"},
                          Case{L"{PROGRAM}", L"3"}}) {
        ProcessOptions options;
        options.environment[L"VESKAR_ONEFILE_PARENT"] = L"123456";
        options.environment[L"VESKAR_ONEFILE_RANDOM"] = L"IQHFT9HQGrI";
        ProcessResult result = run_helper("expand", {c.spec, c.capacity}, options);
        EXPECT_EQ(result.exit_code, 3u) << narrow(c.spec);
        EXPECT_EQ(result.out, "") << narrow(c.spec);
    }
    // The same values with one more unit of room fit.
    ProcessOptions options;
    options.environment[L"VESKAR_ONEFILE_RANDOM"] = L"IQHFT9HQGrI";
    ProcessResult fits = run_helper("expand", {L"ab{RANDOM}", L"14"}, options);
    EXPECT_EQ(fits.exit_code, 0u);
    EXPECT_EQ(fits.out, "abIQHFT9HQGrI\r\n");
}

TEST_F(PathSpec, ProgramWithoutArgumentZeroEnds)
{
    ProcessResult result = run_helper("expand_without_arguments", {L"{PROGRAM}"});
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_EQ(result.out, "");
}

TEST_F(PathSpec, FolderPlaceholders)
{
    wchar_t profile[MAX_PATH], local[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, 0x28, nullptr, 0, profile), S_OK);
    ASSERT_EQ(SHGetFolderPathW(nullptr, 0x1C, nullptr, 0, local), S_OK);
    EXPECT_TRUE(expand(L"{HOME}|{CACHE_DIR}"));
    EXPECT_EQ(output, std::wstring(profile) + L"|" + local);
}

// Expands its first argument with the launcher's argument vector set to this
// program's, in a buffer of the second argument's capacity (default 4096),
// and prints the result; status 1 when the expansion returns false.
VESKAR_HELPER(expand)
{
    launcher_state.argument_count = __argc;
    launcher_state.argument_vector = __wargv;
    size_t capacity = arguments.size() > 1 ? std::stoul(arguments[1]) : 4096;
    std::vector<wchar_t> output(capacity);
    bool expanded = expand_path_spec(output.data(), arguments.at(0).c_str(), capacity);
    printf("%s\n", narrow(output.data()).c_str());
    return expanded ? 0 : 1;
}

VESKAR_HELPER(expand_without_arguments)
{
    wchar_t output[64];
    expand_path_spec(output, arguments.at(0).c_str(), 64);
    printf("%s\n", narrow(output).c_str());
    return 0;
}
