// The core's own event entry: what a fresh core filters, and records the
// entry refuses before any component sees them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "log/logging.h"
#include "support/test_core.h"

namespace {

constexpr uint32_t kPlugin = 0x00050000;

bool logged(TestCore &core, const std::string &text)
{
    for (const LogLine &line : core.logLines())
        if (line.text == text)
            return true;
    return false;
}

TEST(CoreEntry, CoreMessagesStartAtLevel25)
{
    TestCore core;
    logMessage(DVR_PROVIDER_CORE, dvrcoreEventEntry, 0, "detail");
    logMessage(DVR_PROVIDER_CORE, dvrcoreEventEntry, 25, "information");
    EXPECT_FALSE(logged(core, "detail"));
    EXPECT_TRUE(logged(core, "information"));
    EXPECT_EQ(core.eventBus().queued(), 1u);
}

TEST(CoreEntry, LevelTablesStartUnsetExceptTheCore)
{
    TestCore core;
    EXPECT_EQ(core.levels().get(0), 25);
    for (uint32_t i = 1; i < 255; ++i)
        ASSERT_EQ(core.levels().get(i), -1);
    core.levels().set(255, 10);  // outside the table: ignored
    EXPECT_EQ(core.levels().get(255), -1);
}

TEST(CoreEntry, NullRecordsAreRefusedNotFollowed)
{
    TestCore core;
    _EventParmsOut out{sizeof out, 1, 0};
    EXPECT_EQ(dvrcoreEventEntry(nullptr, &out), 0);
    EXPECT_EQ(out.result, DVR_RESULT_REFUSED);
    _EventParmsIn in = makeEvent(kPlugin, DVR_EVENT_KIND_0x8);
    EXPECT_EQ(dvrcoreEventEntry(&in, nullptr), 0);
    EXPECT_EQ(core.eventBus().queued(), 1u);
}

TEST(CoreEntry, ParentPacketWithoutLinkIsRefusedAndFreed)
{
    TestCore core;
    void *packet = std::malloc(100);  // the core owns it from the call on
    EXPECT_EQ(core.post(makeEvent(kPlugin, DVR_EVENT_PARENT_PACKET, 0, packet, 100)),
              DVR_RESULT_REFUSED);
    EXPECT_EQ(core.eventBus().queued(), 0u);
}

TEST(CoreEntry, NoEntryWithoutACore)
{
    _EventParmsOut out{sizeof out, 1, 0};
    _EventParmsIn in = makeEvent(kPlugin, DVR_EVENT_KIND_0x8);
    EXPECT_EQ(dvrcoreEventEntry(&in, &out), 0);
    EXPECT_EQ(out.result, DVR_RESULT_REFUSED);
}

}  // namespace
