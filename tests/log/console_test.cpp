// The console line and the source-name column.
#include <gtest/gtest.h>

#include <string>

#include "log/console.h"
#include "log/source_names.h"

namespace {

std::string line(bool colour, uint32_t level, const char *name, const char *text)
{
    char buffer[700];
    size_t n = formatConsoleLine(buffer, sizeof buffer, colour, level, 1, 2, 3, name, text);
    return std::string(buffer, n);
}

TEST(ConsoleLine, PlainLayout)
{
    EXPECT_EQ(line(false, 25, "core", "started"), "01:02:03 core   started\n");
    EXPECT_EQ(line(false, 25, "recorder", "x"), "01:02:03 record x\n") << "name cut to six";
    EXPECT_EQ(line(false, 25, "?", "x"), "01:02:03 ?      x\n");
}

TEST(ConsoleLine, ColouredByLevel)
{
    EXPECT_EQ(line(true, 0, "core", "t"), "\33[35m01:02:03\33[36m core  \33[0m t\n");
    EXPECT_EQ(line(true, 24, "core", "t"), "\33[35m01:02:03\33[36m core  \33[0m t\n");
    EXPECT_EQ(line(true, 25, "core", "t"), "\33[32m01:02:03\33[36m core  \33[0m t\n");
    EXPECT_EQ(line(true, 50, "core", "t"), "\33[33m01:02:03\33[36m core  \33[0m t\n");
    EXPECT_EQ(line(true, 75, "core", "t"), "\33[31m01:02:03\33[36m core  \33[0m t\n");
    EXPECT_EQ(line(true, 100, "core", "t"), "\33[31m01:02:03\33[36m core  \33[0m t\n");
}

TEST(ConsoleLine, LevelsOutsideTheColourTablePrintPlain)
{
    EXPECT_EQ(line(true, 101, "core", "t"), "01:02:03 core   t\n");
    EXPECT_EQ(line(true, static_cast<uint32_t>(-5), "core", "t"), "01:02:03 core   t\n");
}

TEST(ConsoleLine, LongestLogTextStillEndsTheLine)
{
    const std::string text(511, 'z');
    char buffer[512 + 64];
    size_t n = formatConsoleLine(buffer, sizeof buffer, true, 50, 1, 2, 3, "plugin", text.c_str());
    EXPECT_EQ(buffer[n - 1], '\n');
}

TEST(SourceNames, ExactIdOrQuestionMark)
{
    SourceNames names;
    names.set(0x80000000u, "core");
    names.set(0x00050000u, "storage");
    names.set(0x00050000u, "store");
    char out[16];
    EXPECT_TRUE(names.copyName(0x00050000u, out, sizeof out));
    EXPECT_STREQ(out, "store");
    EXPECT_FALSE(names.copyName(0x00050001u, out, sizeof out));
    EXPECT_STREQ(out, "?");
    EXPECT_TRUE(names.contains(0x80000000u));
}

}  // namespace
