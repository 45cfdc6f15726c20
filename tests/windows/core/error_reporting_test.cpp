// The reporting routines, seen from outside: the exact line, the stream it
// goes to and the exit status.
#include "core_test_helpers.h"
#include "error_reporting.h"
#include "launcher.h"

#include <gtest/gtest.h>

#include <regex>

TEST(Support, HelperIsTheSameProgram)
{
    ProcessResult result = run_helper("count_arguments", {L"a", L""});
    EXPECT_EQ(result.exit_code, 7u);
    EXPECT_EQ(result.out, "2\r\n");
}

TEST(Reports, ErrorGoesToStandardOutput)
{
    for (const char *message : {MESSAGE_HEADER_NOT_FOUND, MESSAGE_ALLOCATION_FAILED, MESSAGE_DECODING_FAILED,
                                MESSAGE_SIGNAL_HANDLER_FAILED, MESSAGE_ENTRY_POINT_MISSING}) {
        ProcessResult result = run_helper("report_error", {widen(message)});
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, std::string(message) + "\r\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST(Reports, OsErrorLine)
{
    // Code 2 has a one-sentence system text; only its shape is fixed here.
    ProcessResult result = run_helper("report_os_error", {widen(MESSAGE_LAUNCH_FAILED), L"2"});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(std::regex_match(result.err, std::regex(R"(Error, couldn't launch child \(\[Error 2\] [^\r\n]*[^\r\n ]\)\r\n)")))
        << result.err;

    // Codes with the customer bit set have no system text: the line keeps
    // its shape with an empty text. From 2^31 on the code prints negative.
    result = run_helper("report_os_error", {widen(MESSAGE_WRITE_FAILED), L"536941568"});  // 0x20007000
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, "Error, couldn't unpack file to target path. ([Error 536941568] )\r\n");
    result = run_helper("report_os_error", {widen(MESSAGE_LOAD_FAILED), L"3758100480"});  // 0xE0001000
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, "Error, load DLL. ([Error -536866816] )\r\n");
    result = run_helper("report_os_error", {widen(MESSAGE_LOAD_FAILED), L"2147942402"});  // 0x80070002
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error -2147024894] ", 0), 0u) << result.err;
    EXPECT_TRUE(std::regex_search(result.err, std::regex(R"(\)\r\n$)"))) << result.err;
}

TEST(Reports, SpecExpansionFailureAborts)
{
    for (const wchar_t *spec : {L"{HOME}", default_unpack_path_spec}) {
        ProcessResult result = run_helper("report_spec_expansion_failure", {spec});
        EXPECT_EQ(result.exit_code, 3u);
        EXPECT_EQ(result.out, "");
        std::string line = "Error, couldn't runtime expand spec '" + narrow(spec) + "'.\r\n";
        EXPECT_EQ(result.err.substr(0, line.size()), line);
    }
}

TEST(Reports, OpenForWritingFailure)
{
    ProcessResult result = run_helper("report_open_failure", {L"C:\\t\\x.txt"});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, failed to open 'C:\\t\\x.txt' for writing.\r\n");
}

VESKAR_HELPER(count_arguments)
{
    printf("%d\n", static_cast<int>(arguments.size()));
    return 7;
}

// The reports run as a shipped launcher runs them: the runtime's own
// reports kept off dialogs, and buffered output that must still arrive.
VESKAR_HELPER(report_error)
{
    keep_reports_off_dialogs();
    static std::string message = narrow(arguments.at(0));
    report_error(message.c_str());
}

VESKAR_HELPER(report_os_error)
{
    keep_reports_off_dialogs();
    static std::string message = narrow(arguments.at(0));
    report_os_error(message.c_str(), static_cast<DWORD>(std::stoul(arguments.at(1))));
}

VESKAR_HELPER(report_spec_expansion_failure)
{
    keep_reports_off_dialogs();
    report_spec_expansion_failure(arguments.at(0).c_str());
}

VESKAR_HELPER(report_open_failure)
{
    keep_reports_off_dialogs();
    report_open_for_writing_failure(arguments.at(0).c_str());
}
