// The core's memory-state announcement, as a plugin receives it.
#include <gtest/gtest.h>

#include "support/test_core.h"

namespace {

std::vector<std::pair<_WriteParmsIn, std::string>> received;

int recordWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    received.push_back({*in, std::string(static_cast<const char *>(in->data), in->len)});
    return 0;
}

struct MemoryStateCore : TestCore {
    int64_t WallClockSeconds() override { return 1700000000; }
};

}  // namespace

TEST(MemoryState, AnnouncementIsOneStatusEventWithTheThrottlingState)
{
    received.clear();
    MemoryStateCore core;
    Subscriber plugin;
    plugin.Write = recordWrite;
    plugin.subscribe[DVR_SUBSCRIBE_0x4] = 0xFFFFFFFFu;
    plugin.writable = true;
    core.eventBus().addSubscriber(plugin);
    core.eventBus().setThrottling(true);
    core.AnnounceMemoryState();
    core.eventBus().requestStop();
    core.eventBus().runDeliveryLoop();

    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].first.eventType, DVR_EVENT_STATUS);
    EXPECT_EQ(received[0].first.flags, 0x01000010u);
    EXPECT_EQ(received[0].first.providerID, DVR_PROVIDER_CORE);
    EXPECT_EQ(received[0].second, "<?xml ?><Qarn><Memory ID=\"-2147483648\" Throttling=\"1\" "
                                  "Time=\"1700000000\" /></Qarn>");
}
