#include <gtest/gtest.h>

#include <glib.h>

#include <string>
#include <vector>

#include "split.h"

static std::vector<std::string> fields(const char *txt, char delim = ';')
{
    char **tokens = nullptr;
    int n = split(txt, delim, &tokens);
    std::vector<std::string> out;
    for (int i = 0; i < n; i++) {
        out.push_back(tokens[i]);
        g_free(tokens[i]);
    }
    g_free(tokens);
    return out;
}

TEST(Split, Fields)
{
    using V = std::vector<std::string>;
    EXPECT_EQ((V{"ptz:3", "xxxxxWait"}), fields("ptz:3;xxxxxWait"));
    EXPECT_EQ((V{"ptz:3", "xxxxxWait", "extra"}), fields("ptz:3;xxxxxWait;extra"));
    EXPECT_EQ((V{"ptz:3"}), fields("ptz:3"));
    EXPECT_EQ((V{""}), fields(""));
    EXPECT_EQ((V{"", ""}), fields(";"));
    EXPECT_EQ((V{"", "a", "", "b", ""}), fields(";a;;b;"));
    EXPECT_EQ((V{"a;b"}), fields("a;b", ','));
    std::string big(5000, 'x');
    EXPECT_EQ((V{big, big}), fields((big + ";" + big).c_str()));
}
