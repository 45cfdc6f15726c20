#include "launcher.h"
#include "test_support.h"
#include <gtest/gtest.h>

TEST(RandomText, KnownSeeds)
{
    wchar_t text[12];
    make_random_text(1, text);
    EXPECT_STREQ(text, L"IQHFT9HQGrI");
    make_random_text(0x88888888u, text);
    EXPECT_STREQ(text, L"xFgZ3OnLNIk");
}
VESKAR_HELPER(echo) { printf("%d\n", (int)arguments.size()); return 7; }
TEST(Support, Helper) { ProcessResult r = run_helper("echo", {L"a", L""}); EXPECT_EQ(r.exit_code, 7u); EXPECT_EQ(r.out, "2\r\n"); }
