#include <gtest/gtest.h>

#include <string.h>

#include "string_helpers.h"

TEST(StartsWith, PrefixRules)
{
    EXPECT_TRUE(startsWith("ptz:1;Wait", "ptz:"));
    EXPECT_TRUE(startsWith("ptz:", "ptz:"));
    EXPECT_FALSE(startsWith("ptz", "ptz:"));
    EXPECT_FALSE(startsWith("PTZ:1", "ptz:"));
    EXPECT_FALSE(startsWith("", "ptz:"));
    EXPECT_TRUE(startsWith("anything", ""));
    EXPECT_TRUE(startsWith("", ""));
    // Bytes above 127 compare as bytes.
    EXPECT_TRUE(startsWith("\xc3\xa9x", "\xc3\xa9"));
    EXPECT_FALSE(startsWith("\xc3\xa9x", "\xc3\xa8"));
}

TEST(Substring, CopiesFromOneBasedPosition)
{
    char s[] = "abcdef";
    char sub[16];
    memset(sub, 'X', sizeof sub);
    substring(s, sub, 2, 3);
    EXPECT_STREQ("bcd", sub);
    EXPECT_EQ('X', sub[4]); // nothing past the terminating zero

    substring(s, sub, 1, 6);
    EXPECT_STREQ("abcdef", sub);
    substring(s, sub, 6, 1);
    EXPECT_STREQ("f", sub);
}

TEST(Substring, NonPositiveLengthGivesEmptyText)
{
    char s[] = "abcdef";
    char sub[4] = {'X', 'X', 'X', 'X'};
    substring(s, sub, 2, 0);
    EXPECT_STREQ("", sub);
    EXPECT_EQ('X', sub[1]);
    sub[0] = 'X';
    substring(s, sub, 3, -4);
    EXPECT_STREQ("", sub);
}
