#include <gtest/gtest.h>

#include <vector>

#include "core/command_line.h"

namespace {

CommandLine parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "dvrcore");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, DescriptorIsTheFirstArgumentWithoutDash)
{
    EXPECT_EQ(parse({}).parentDescriptor, -1);
    EXPECT_EQ(parse({"-x", "7"}).parentDescriptor, 7);
    EXPECT_EQ(parse({"-", "-v"}).parentDescriptor, -1);
    EXPECT_EQ(parse({"abc"}).parentDescriptor, 0);
    EXPECT_EQ(parse({" 12z"}).parentDescriptor, 12);
    EXPECT_EQ(parse({"5", "9"}).parentDescriptor, 5);
}

TEST(CommandLine, HelpIsAnyDashHBeforeTheDescriptor)
{
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_TRUE(parse({"-hello"}).help);
    EXPECT_TRUE(parse({"-x", "-help"}).help);
    EXPECT_FALSE(parse({"7", "-h"}).help) << "scanning stops at the descriptor";
    EXPECT_EQ(parse({"7", "-h"}).parentDescriptor, 7);
    EXPECT_FALSE(parse({"--help"}).help);
}

}  // namespace
