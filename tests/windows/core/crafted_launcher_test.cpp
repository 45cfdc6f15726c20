// Launchers linked from crafted attached data, run as a user runs them: the
// exact line, its stream, the status, and what was left on disk. Each run
// gets a temporary directory of its own, so everything it creates is seen.
#include "core_test_helpers.h"
#include "error_reporting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>

namespace {

const std::string header_line = "Error, couldn't find attached data header.\r\n";
const std::string decode_line = "Error, couldn't decode attached data.\r\n";
const unsigned unsafe_name_count = 9;  // as many as the build links for each position

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

// Every file below `directory`, relative, with "\" separators.
void collect_files(const std::wstring &directory, const std::wstring &prefix, std::vector<std::wstring> &files)
{
    for (const std::wstring &entry : list_directory(directory)) {
        std::wstring path = directory + L"\\" + entry;
        if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            collect_files(path, prefix + entry + L"\\", files);
        else
            files.push_back(prefix + entry);
    }
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

TEST(CraftedLauncher, UndecodableDataStopsWithinTheUnpackDirectory)
{
    // Nothing decodes from a corrupt first block or an over-long first name;
    // a truncated frame may leave a part of the archive behind.
    for (const wchar_t *name : {L"crafted_corrupt_frame", L"crafted_long_name", L"crafted_truncated_frame"}) {
        LauncherRun run = run_crafted(name);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(run.result.out, decode_line) << narrow(name);
        EXPECT_EQ(run.result.err, "") << narrow(name);
        if (std::wstring(name) != L"crafted_truncated_frame") {
            EXPECT_TRUE(run.temp_entries.empty()) << narrow(name);
        } else {
            ASSERT_LE(run.temp_entries.size(), 1u);
            if (!run.temp_entries.empty()) {
                EXPECT_TRUE(is_unpack_directory_name(run.temp_entries[0])) << narrow(run.temp_entries[0]);
                std::vector<std::wstring> files;
                collect_files(run.temp + L"\\" + run.temp_entries[0], L"", files);
                for (const std::wstring &file : files)
                    EXPECT_TRUE(file == L"app.dll" || file == L"data\\large.bin") << narrow(file);
            }
        }
        remove_tree(run.temp);
    }
}

TEST(CraftedLauncher, RecordStreamCutShort)
{
    const std::string large = [] {
        std::string text;
        for (int i = 0; i < 8192; i++)
            text += "0123456789abcdef";
        return text;
    }();
    // The frame is whole but ends before the end marker, or inside a file.
    for (const wchar_t *name : {L"crafted_no_end_marker", L"crafted_cut_content"}) {
        LauncherRun run = run_crafted(name);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(name);
        EXPECT_EQ(run.result.out, decode_line) << narrow(name);
        EXPECT_EQ(run.result.err, "") << narrow(name);
        ASSERT_EQ(run.temp_entries.size(), 1u) << narrow(name);
        EXPECT_TRUE(is_unpack_directory_name(run.temp_entries[0]));
        std::wstring unpack = run.temp + L"\\" + run.temp_entries[0];
        std::vector<std::wstring> files;
        collect_files(unpack, L"", files);
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::wstring>{L"app.dll", L"data\\large.bin"})) << narrow(name);
        EXPECT_EQ(read_file(unpack + L"\\app.dll"), "stands in for the application library");
        std::string written = read_file(unpack + L"\\data\\large.bin");
        if (std::wstring(name) == L"crafted_no_end_marker")
            EXPECT_EQ(written, large);
        else
            EXPECT_EQ(written, large.substr(0, written.size())) << "a prefix, at most";
        remove_tree(run.temp);
    }
}

TEST(CraftedLauncher, UnsafeNamesAreRefusedBeforeAnythingIsCreated)
{
    for (unsigned i = 0; i < unsafe_name_count; i++) {
        std::wstring first = L"crafted_unsafe_first_" + std::to_wstring(i);
        LauncherRun run = run_crafted(first);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(first);
        EXPECT_EQ(run.result.out, decode_line) << narrow(first);
        EXPECT_TRUE(run.temp_entries.empty()) << narrow(first);
        remove_tree(run.temp);

        std::wstring second = L"crafted_unsafe_second_" + std::to_wstring(i);
        run = run_crafted(second);
        EXPECT_EQ(run.result.exit_code, 2u) << narrow(second);
        EXPECT_EQ(run.result.out, decode_line) << narrow(second);
        ASSERT_EQ(run.temp_entries.size(), 1u) << narrow(second);
        std::vector<std::wstring> files;
        collect_files(run.temp + L"\\" + run.temp_entries[0], L"", files);
        EXPECT_EQ(files, std::vector<std::wstring>{L"app.dll"}) << narrow(second);
        remove_tree(run.temp);
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
    ASSERT_EQ(run.temp_entries.size(), 1u);
    std::wstring unpack = run.temp + L"\\" + run.temp_entries[0];
    EXPECT_EQ(run.result.err, "Error, failed to open '" + narrow(unpack) + "\\x' for writing.\r\n");
    EXPECT_EQ(read_file(unpack + L"\\x\\y.txt"), "stands in for the application library");
    remove_tree(run.temp);
}
