#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "config_text.h"
#include "test_helpers.h"

class ReadFile : public testing::Test {
protected:
    std::string write(const char *name, const std::string &content)
    {
        std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return path;
    }
    TempDir tmp{"lhread"};
    const std::string &dir = tmp.path();
};

TEST_F(ReadFile, WholeFileWithZeroBytes)
{
    std::string content("ab\0cd", 5);
    std::string path = write("f", content);
    int err = -1;
    size_t size = 99;
    char *buf = c_read_file(path.c_str(), &err, &size);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(FILE_OK, err);
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0, memcmp(buf, content.data(), 5));
    EXPECT_EQ('\0', buf[5]);
    free(buf);
}

TEST_F(ReadFile, EmptyFile)
{
    std::string path = write("empty", "");
    int err = -1;
    size_t size = 99;
    char *buf = c_read_file(path.c_str(), &err, &size);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(FILE_OK, err);
    EXPECT_EQ(0u, size);
    EXPECT_EQ('\0', buf[0]);
    free(buf);
}

TEST_F(ReadFile, MissingAndNonRegularFilesAreNotRead)
{
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    for (const std::string &path : {dir + "/missing", dir, fifo, std::string("/dev/zero")}) {
        int err = -1;
        size_t size = 77;
        // What an earlier call left in errno has no say.
        errno = EOVERFLOW;
        // A FIFO without a writer must not block.
        EXPECT_EQ(nullptr, c_read_file(path.c_str(), &err, &size)) << path;
        EXPECT_EQ(FILE_NOT_EXIST, err) << path;
        EXPECT_EQ(77u, size) << path; // written on success only
    }
}

TEST_F(ReadFile, ExactlyOneGibibytePassesTheBoundOneMoreDoesNot)
{
    std::string path = dir + "/big";
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 1073741825));
    close(fd);
    int err = -1;
    size_t size = 0;
    EXPECT_EQ(nullptr, c_read_file(path.c_str(), &err, &size));
    EXPECT_EQ(FILE_TO_LARGE, err);
}

TEST(JsonValue, LooksUpByPlainTextSearch)
{
    struct Case {
        const char *text, *key, *value;
    } cases[] = {
        {"{\"version\":\"1.2\"}", "version\":\"", "1.2"},
        {"{\"version\":\"\"}", "version\":\"", ""},
        {"{\"version\":\"1.2", "version\":\"", "1.2"},
        {"{\"version\":\"1.2}\n", "version\":\"", "1.2}\n"},
        {"{\"subversion\":\"9\",\"version\":\"1\"}", "version\":\"", "9"},
        {"{\"a\":\"x\\\"y\"}", "a\":\"", "x\\"},
        {"{\"vqId\":\"A\",\"vqId\":\"B\"}", "vqId\":\"", "A"},
    };
    for (const Case &c : cases) {
        char buf[64];
        memset(buf, 'X', sizeof buf);
        EXPECT_EQ(1, getJsonValue(c.text, c.key, buf, sizeof buf)) << c.text;
        EXPECT_STREQ(c.value, buf) << c.text;
    }
}

TEST(JsonValue, MissingKeyLeavesTheBufferAlone)
{
    char buf[8] = "keep";
    EXPECT_EQ(0, getJsonValue("{\"version\": \"1.2\"}", "version\":\"", buf, sizeof buf));
    EXPECT_EQ(0, getJsonValue("{\"Version\":\"1.2\"}", "version\":\"", buf, sizeof buf));
    EXPECT_STREQ("keep", buf);
}

TEST(JsonValue, LongValueIsCutToTheBuffer)
{
    std::string text = "{\"k\":\"" + std::string(2000, 'v') + "\"}";
    char buf[1024 + 8];
    memset(buf, 'G', sizeof buf);
    EXPECT_EQ(1, getJsonValue(text.c_str(), "k\":\"", buf, 1024));
    EXPECT_EQ(std::string(1023, 'v'), std::string(buf));
    for (size_t i = 1024; i < sizeof buf; i++)
        EXPECT_EQ('G', buf[i]); // nothing past the capacity
}

TEST(Base64, Rfc4648Vectors)
{
    struct Case {
        const char *in, *out;
    } cases[] = {{"", ""},         {"Zg==", "f"},         {"Zm8=", "fo"},
                 {"Zm9v", "foo"},  {"Zm9vYg==", "foob"},  {"Zm9vYmE=", "fooba"},
                 {"Zm9vYmFy", "foobar"}, {"+/+/", "\xfb\xff\xbf"}};
    for (const Case &c : cases) {
        unsigned char out[16] = {};
        EXPECT_EQ(strlen(c.out), b64_decoded_size(c.in)) << c.in;
        EXPECT_EQ(1, b64_decode(c.in, out, sizeof out)) << c.in;
        EXPECT_STREQ(c.out, reinterpret_cast<char *>(out)) << c.in;
        // What GLib decodes agrees.
        gsize n = 0;
        guchar *g = g_base64_decode(c.in, &n);
        EXPECT_EQ(n, strlen(c.out));
        EXPECT_EQ(0, memcmp(g, out, n));
        g_free(g);
    }
}

TEST(Base64, InvalidTextIsRefusedAndNothingWritten)
{
    for (const char *in : {"Zm9", "Zm9vY", "Zm 9v", "Zm9v\n", "Zm9-", "Zm9\xc3", "Z:9v"}) {
        unsigned char out[16];
        memset(out, 0xAA, sizeof out);
        EXPECT_EQ(0, b64_decode(in, out, sizeof out)) << in;
        for (unsigned char c : out)
            EXPECT_EQ(0xAA, c) << in;
    }
    unsigned char out[4];
    EXPECT_EQ(0, b64_decode(nullptr, out, sizeof out));
    EXPECT_EQ(0, b64_decode("Zm9v", nullptr, 4));
    EXPECT_EQ(0u, b64_decoded_size(nullptr));
    EXPECT_EQ(0, b64_decode("Zm9v", out, 2)); // capacity below the size
}

TEST(Base64, ValidCharacters)
{
    int valid = 0;
    for (int c = 0; c < 256; c++)
        valid += b64_isvalidchar(static_cast<char>(c));
    EXPECT_EQ(65, valid); // the alphabet and '='
    EXPECT_TRUE(b64_isvalidchar('='));
    EXPECT_FALSE(b64_isvalidchar('-'));
    EXPECT_FALSE(b64_isvalidchar('\x80'));
}

TEST(Base64, PaddingInsideGroups)
{
    unsigned char out[8];
    // '=' third, a letter fourth: bytes 0 and 2 written, byte 1 kept.
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(1, b64_decode("Zm=v", out, sizeof out));
    EXPECT_EQ('f', out[0]);
    EXPECT_EQ(0xAA, out[1]);
    EXPECT_EQ(0x2f, out[2]);
    // Padding in a middle group: the next group still lands at 3 x index.
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(1, b64_decode("Zg==Zm9v", out, sizeof out));
    EXPECT_EQ('f', out[0]);
    EXPECT_EQ(0xAA, out[1]);
    EXPECT_EQ(0xAA, out[2]);
    EXPECT_EQ(0, memcmp(out + 3, "foo", 3));
}

TEST(Base64, ManyTrailingPadsNeverWritePastTheCapacity)
{
    // Four '=' wrap the size below zero: no capacity meets it.
    EXPECT_EQ(static_cast<size_t>(-1), b64_decoded_size("===="));
    unsigned char big[64];
    EXPECT_EQ(0, b64_decode("====", big, sizeof big));
    // Three trailing '=': the size counts 3, the group writes index 3.
    EXPECT_EQ(3u, b64_decoded_size("Zm9vZ==="));
    unsigned char out[8];
    memset(out, 0xAA, sizeof out);
    EXPECT_EQ(0, b64_decode("Zm9vZ===", out, 3));
    EXPECT_EQ(0xAA, out[0]);
    EXPECT_EQ(1, b64_decode("Zm9vZ===", out, 4));
    EXPECT_EQ(0, memcmp(out, "foo", 3));
    EXPECT_EQ(0xFF, out[3]); // the '=' of the group's second place, all bits set
    EXPECT_EQ(0xAA, out[4]);
}
