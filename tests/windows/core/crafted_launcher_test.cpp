// Launchers linked from crafted attached data, run as a user runs them: the
// exact line, its stream, the status, and what was left on disk. Each run
// gets a temporary directory of its own, so everything it creates is seen.
#include "core_test_helpers.h"
#include "error_reporting.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

const std::string header_line = "Error, couldn't find attached data header.\r\n";
const std::string decode_line = "Error, couldn't decode attached data.\r\n";
const unsigned unsafe_name_count = VESKAR_UNSAFE_NAME_COUNT;  // as many as the build links for each position

struct LauncherRun {
    ProcessResult result;
    std::wstring temp;                     // the run's temporary directory
    std::vector<std::wstring> temp_entries;
};

LauncherRun run_crafted(const std::wstring &name)
{
    LauncherRun run;
    run.temp = make_scratch_directory(L"crafted");
    std::wstring launcher = test_binary_directory() + L"\\..\\" + name + L".exe";
    EXPECT_TRUE(path_exists(launcher)) << narrow(launcher);
    ProcessOptions options;
    options.environment[L"TMP"] = run.temp + L"\\";
    options.environment[L"TEMP"] = run.temp + L"\\";
    options.environment[L"VESKAR_ONEFILE_PARENT"] = std::nullopt;
    options.current_directory = run.temp;
    run.result = run_process(launcher, quote_for_test(launcher), options);
    EXPECT_FALSE(run.result.timed_out) << narrow(name);
    run.temp_entries = list_directory(run.temp);
    return run;
}

bool is_unpack_directory_name(const std::wstring &name)
{
    return std::regex_match(narrow(name), std::regex(R"(onefile_\d+_\d{6}_[A-Za-z0-9_-]{10}[AEIMQUYcgkosw048])"));
}

}  // namespace

TEST(CraftedLauncher, WrongHeaderUnpacksNothing)
{
    for (const wchar_t *name : {L"crafted_wrong_magic", L"crafted_wrong_marker"}) {
        LauncherRun run = run_crafted(name);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(run.result.out, header_line) << narrow(name);
        EXPECT_EQ(run.result.err, "") << narrow(name);
        EXPECT_TRUE(run.temp_entries.empty()) << narrow(name);
        remove_tree(run.temp);
    }
}

// A failed start removes what it unpacked: whatever the archive's fault,
// the temporary directory is as empty afterwards as before.
TEST(CraftedLauncher, UndecodableDataLeavesNothingBehind)
{
    // A corrupt first block, an over-long first name, a truncated frame, a
    // frame that ends before the end marker, and one that ends inside a file.
    for (const wchar_t *name : {L"crafted_corrupt_frame", L"crafted_long_name", L"crafted_truncated_frame",
                                L"crafted_no_end_marker", L"crafted_cut_content"}) {
        LauncherRun run = run_crafted(name);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(run.result.out, decode_line) << narrow(name);
        EXPECT_EQ(run.result.err, "") << narrow(name);
        EXPECT_TRUE(run.temp_entries.empty()) << narrow(name);
        remove_tree(run.temp);
    }
}

TEST(CraftedLauncher, UnsafeNamesAreRefusedAndNothingIsLeft)
{
    for (unsigned i = 0; i < unsafe_name_count; i++) {
        for (const wchar_t *position : {L"first", L"second"}) {
            std::wstring name = L"crafted_unsafe_" + std::wstring(position) + L"_" + std::to_wstring(i);
            LauncherRun run = run_crafted(name);
            EXPECT_EQ(run.result.exit_code, 2u) << narrow(name);
            EXPECT_EQ(run.result.out, decode_line) << narrow(name);
            EXPECT_TRUE(run.temp_entries.empty()) << narrow(name);
            remove_tree(run.temp);
        }
    }
    EXPECT_FALSE(path_exists(L"\\veskar_escape"));
}

TEST(CraftedLauncher, EndMarkerAloneHasNoApplication)
{
    // The child finds no library to load and ends; the parent passes its
    // status on and removes the (never created) unpack directory.
    LauncherRun run = run_crafted(L"crafted_end_marker_only");
    EXPECT_EQ(run.result.exit_code, 2u);
    EXPECT_EQ(run.result.out, "Error, attached data holds no application library.\r\n");
    EXPECT_EQ(run.result.err, "");
    EXPECT_TRUE(run.temp_entries.empty());
    remove_tree(run.temp);
}

TEST(CraftedLauncher, FileThatCannotBeCreated)
{
    // "x" comes after "x\y.txt": a directory stands where the file should go.
    LauncherRun run = run_crafted(L"crafted_file_over_directory");
    EXPECT_EQ(run.result.exit_code, 2u);
    EXPECT_EQ(run.result.out, "");
    std::smatch match;
    std::string err = run.result.err;
    ASSERT_TRUE(std::regex_match(err, match, std::regex(R"(Error, failed to open '(.*)\\([^\\]*)\\x' for writing\.\r\n)")))
        << err;
    EXPECT_EQ(match[1].str(), narrow(run.temp));
    EXPECT_TRUE(is_unpack_directory_name(widen(match[2].str()))) << match[2].str();
    EXPECT_TRUE(run.temp_entries.empty());
    remove_tree(run.temp);
}
