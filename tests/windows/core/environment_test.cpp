// Environment variables by narrow name and the bounded wide-text operations.
#include "core_test_helpers.h"
#include "launcher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// The variable's value through the launcher's reader, "<null>" for absent.
std::wstring read_or_null(const char *name)
{
    wchar_t *value = read_environment_variable(name);
    std::wstring text = value ? value : L"<null>";
    free(value);
    return text;
}

}  // namespace

TEST(Environment, ReadAndWrite)
{
    set_variable(L"VESKAR_CORE_TEST_VARIABLE", nullptr);
    EXPECT_EQ(read_or_null("VESKAR_CORE_TEST_VARIABLE"), L"<null>");

    EXPECT_NE(write_environment_variable("VESKAR_CORE_TEST_VARIABLE", L"value \u00e9\u4e2d"), 0);
    EXPECT_EQ(variable_or_absent(L"VESKAR_CORE_TEST_VARIABLE"), L"value \u00e9\u4e2d");
    EXPECT_EQ(read_or_null("VESKAR_CORE_TEST_VARIABLE"), L"value \u00e9\u4e2d");

    // An empty value reads as absent.
    set_variable(L"VESKAR_CORE_TEST_VARIABLE", L"");
    EXPECT_EQ(read_or_null("VESKAR_CORE_TEST_VARIABLE"), L"<null>");

    // Writing null deletes the variable.
    write_environment_variable("VESKAR_CORE_TEST_VARIABLE", L"again");
    write_environment_variable("VESKAR_CORE_TEST_VARIABLE", nullptr);
    EXPECT_EQ(variable_or_absent(L"VESKAR_CORE_TEST_VARIABLE"), L"<absent>");
    EXPECT_EQ(read_or_null("VESKAR_CORE_TEST_VARIABLE"), L"<null>");

    // A long value comes back whole.
    std::wstring long_value(20000, L'v');
    long_value += L"end";
    set_variable(L"VESKAR_CORE_TEST_VARIABLE", long_value.c_str());
    EXPECT_TRUE(read_or_null("VESKAR_CORE_TEST_VARIABLE") == long_value);
    set_variable(L"VESKAR_CORE_TEST_VARIABLE", nullptr);
}

TEST(Environment, NameLength)
{
    std::string name39 = "V" + std::string(38, 'N');
    ProcessResult result = run_helper("write_variable", {widen(name39)});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "written\r\n");

    result = run_helper("write_variable", {widen(name39 + "N")});
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_EQ(result.out, "");
}

TEST(Environment, AppendWideText)
{
    wchar_t buffer[8] = L"abc";
    append_wide_text(buffer, L"d", 5);
    EXPECT_STREQ(buffer, L"abcd");
    append_wide_text(buffer, L"", 5);
    EXPECT_STREQ(buffer, L"abcd");

    copy_wide_text(buffer, L"xy", 5);
    EXPECT_STREQ(buffer, L"xy");
    copy_wide_text(buffer, L"", 5);
    EXPECT_STREQ(buffer, L"");

    // The e would leave no room for the terminator.
    ProcessResult result = run_helper("append_wide", {L"abc", L"de", L"5"});
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_EQ(result.out, "");
    result = run_helper("append_wide", {L"abc", L"d", L"5"});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "abcd\r\n");
    // Copying empties the target first: the old text takes no room.
    result = run_helper("copy_wide", {L"abcd", L"wxyz", L"5"});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "wxyz\r\n");
    result = run_helper("copy_wide", {L"", L"vwxyz", L"5"});
    EXPECT_EQ(result.exit_code, 3u);
}

TEST(Environment, AppendNarrowText)
{
    wchar_t buffer[16] = L"pid=";
    append_narrow_text(buffer, "", 16);
    EXPECT_STREQ(buffer, L"pid=");
    append_narrow_text(buffer, "4294967295", 16);
    EXPECT_STREQ(buffer, L"pid=4294967295");

    wchar_t name[40] = L"";
    append_narrow_text(name, "VESKAR_ONEFILE_PARENT", 40);
    EXPECT_STREQ(name, L"VESKAR_ONEFILE_PARENT");

    ProcessResult result = run_helper("append_narrow", {L"12", L"345", L"5"});
    EXPECT_EQ(result.exit_code, 3u);
    result = run_helper("append_narrow", {L"12", L"34", L"5"});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "1234\r\n");
}

VESKAR_HELPER(write_variable)
{
    write_environment_variable(narrow(arguments.at(0)).c_str(), L"set");
    if (variable_or_absent(arguments.at(0).c_str()) != L"set")
        return 1;
    wchar_t *value = read_environment_variable(narrow(arguments.at(0)).c_str());
    if (value == nullptr || std::wstring(value) != L"set")
        return 1;
    printf("written\n");
    return 0;
}

// Arguments: the target's starting text, the text to add, the capacity.
VESKAR_HELPER(append_wide)
{
    wchar_t buffer[64] = L"";
    wcscpy(buffer, arguments.at(0).c_str());
    append_wide_text(buffer, arguments.at(1).c_str(), std::stoul(arguments.at(2)));
    printf("%s\n", narrow(buffer).c_str());
    return 0;
}

VESKAR_HELPER(copy_wide)
{
    wchar_t buffer[64] = L"";
    wcscpy(buffer, arguments.at(0).c_str());
    copy_wide_text(buffer, arguments.at(1).c_str(), std::stoul(arguments.at(2)));
    printf("%s\n", narrow(buffer).c_str());
    return 0;
}

VESKAR_HELPER(append_narrow)
{
    wchar_t buffer[64] = L"";
    wcscpy(buffer, arguments.at(0).c_str());
    append_narrow_text(buffer, narrow(arguments.at(1)).c_str(), std::stoul(arguments.at(2)));
    printf("%s\n", narrow(buffer).c_str());
    return 0;
}
