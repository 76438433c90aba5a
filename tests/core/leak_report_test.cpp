// The leak report written when the core is destroyed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/test_core.h"

namespace {

std::string hex(const void *pointer)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

TEST(LeakReport, NothingLeftLogsNothing)
{
    TestCore core;
    core.levels().set(0, 0);
    core.reportLeaks();
    EXPECT_TRUE(core.logLines().empty());
}

TEST(LeakReport, TwoBlocksGiveOneMessageWithOneLinePerBlockAndTheTableIsEmptied)
{
    TestCore core;
    core.levels().set(0, 0);
    void *first = std::malloc(16);
    void *second = std::malloc(32);
    core.eventBus().blocks().add(first, 16, 0x00120000);
    core.eventBus().blocks().add(second, 32, 0x00120000);
    core.eventBus().blocks().add(second, 32, DVR_PROVIDER_CORE);
    core.reportLeaks();

    const auto lines = core.logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].providerID, DVR_PROVIDER_CORE);
    EXPECT_EQ(lines[0].level, 0u);
    const std::string &text = lines[0].text;
    EXPECT_NE(text.find("address " + hex(first) + " leaked by plugins [120000]\n"), std::string::npos);
    const bool secondListed =
        text.find("address " + hex(second) + " leaked by plugins [120000,80000000]\n") != std::string::npos ||
        text.find("address " + hex(second) + " leaked by plugins [80000000,120000]\n") != std::string::npos;
    EXPECT_TRUE(secondListed) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_EQ(core.eventBus().blocks().counts().blockCount, 0u);
    // The blocks themselves are not freed by the report.
    std::free(first);
    std::free(second);
}

TEST(LeakReport, IsNotPostedAtTheStartThresholdOf25)
{
    TestCore core;
    void *block = std::malloc(8);
    core.eventBus().blocks().add(block, 8, 0x00120000);
    core.reportLeaks();
    EXPECT_TRUE(core.logLines().empty());
    std::free(block);
}

}  // namespace
