// logMessage, queryLogLevel and logLevelEnabled against a scripted entry, and
// through the core's event entry.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/logging.h"
#include "support/test_bus.h"

namespace {

struct Posted {
    _EventParmsIn in;
    std::string text;
};
std::vector<Posted> posted;
int queries = 0;
int32_t threshold = -1;

int scriptedEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    if (in->flags == DVR_FLAG_LOG_QUERY) {
        ++queries;
        out->result = threshold;
        return 0;
    }
    posted.push_back({*in, std::string(static_cast<const char *>(in->data))});
    return 0;
}

class LogMessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        posted.clear();
        queries = 0;
        threshold = -1;
    }
};

TEST_F(LogMessageTest, PostsALogRecord)
{
    logMessage(0x00050000, scriptedEntry, 30, "value %d of %s", 7, "x");
    ASSERT_EQ(posted.size(), 1u);
    const _EventParmsIn &in = posted[0].in;
    EXPECT_EQ(posted[0].text, "value 7 of x");
    EXPECT_EQ(in.len, std::strlen("value 7 of x") + 1);
    EXPECT_EQ(in.size, sizeof(_EventParmsIn));
    EXPECT_EQ(in.version, 1u);
    EXPECT_EQ(in.providerID, 0x00050000u);
    EXPECT_EQ(in.eventType, DVR_EVENT_LOG);
    EXPECT_EQ(in.flags, 0x01000002u);
    EXPECT_EQ(in.level, 30);
    EXPECT_EQ(in.requestKey, 0u);
}

TEST_F(LogMessageTest, FilteredMessageCostsOneQueryAndNoPost)
{
    threshold = 25;
    logMessage(0x80000000u, scriptedEntry, 0, "%s", "hidden");
    EXPECT_EQ(queries, 1);
    EXPECT_TRUE(posted.empty());
    logMessage(0x80000000u, scriptedEntry, 25, "shown");
    EXPECT_EQ(posted.size(), 1u);
}

TEST_F(LogMessageTest, LongTextIsCutTo511Characters)
{
    const std::string text(600, 'y');
    logMessage(1, scriptedEntry, 50, "%s", text.c_str());
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].text, std::string(511, 'y'));
    EXPECT_EQ(posted[0].in.len, 512u);
}

TEST_F(LogMessageTest, EmptyTextOrNoEntryPostsNothing)
{
    logMessage(1, scriptedEntry, 50, "%s", "");
    logMessage(1, nullptr, 50, "text");
    EXPECT_TRUE(posted.empty());
}

TEST_F(LogMessageTest, EnabledWhenUnsetOrAtOrAboveThreshold)
{
    threshold = -1;
    EXPECT_TRUE(logLevelEnabled(1, scriptedEntry, -5));
    threshold = 40;
    EXPECT_FALSE(logLevelEnabled(1, scriptedEntry, 39));
    EXPECT_TRUE(logLevelEnabled(1, scriptedEntry, 40));
    EXPECT_EQ(queryLogLevel(1, scriptedEntry), 40);
}

TEST(LogThroughCore, ProviderWithoutNameSharesTheTableEntry)
{
    TestBus core;
    core.logLevels.set(5, 60);
    logMessage(0x00050001, TestBus::entry, 59, "filtered");
    logMessage(0x00050001, TestBus::entry, 60, "passes");
    EXPECT_FALSE(core.logged("filtered"));
    EXPECT_TRUE(core.logged("passes"));
}

}  // namespace
