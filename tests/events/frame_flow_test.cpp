// The key-frame gate and throttling, seen through the event entry's results.
#include <gtest/gtest.h>

#include "support/test_bus.h"

namespace {

constexpr uint32_t kCamera = 0x00210000;
constexpr uint32_t kGated = DVR_FLAG_FLOW_CONTROL;

int frame(TestBus &core, uint32_t type, bool key, uint32_t provider = kCamera,
          uint32_t flags = kGated)
{
    static const char payload[] = "frame";
    _EventParmsIn in = makeEvent(provider, type, flags, payload, sizeof payload);
    in.frameType = key ? DVR_FRAME_KEY : 0;
    return core.post(in);
}

TEST(FrameFlow, DependentFramesWaitForKeyFrame)
{
    TestBus core;
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_NO_KEY_FRAME);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_OK);
    // Another provider has its own gate.
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false, kCamera + 1), DVR_RESULT_NO_KEY_FRAME);
    EXPECT_EQ(core.queued(), 2u);
}

TEST(FrameFlow, KeyFrameAdmits764DependentFrames)
{
    TestBus core;
    ASSERT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
    for (int i = 1; i <= 764; ++i)
        ASSERT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_OK) << "frame " << i;
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_TOO_MANY_DEPENDENT);
    // A long run of refused frames stays refused (the counter saturates)...
    for (int i = 0; i < 100000; ++i)
        ASSERT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_TOO_MANY_DEPENDENT);
    // ...until the next key frame.
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_OK);
}

TEST(FrameFlow, AudioIsNeverGated)
{
    TestBus core;
    EXPECT_EQ(frame(core, DVR_EVENT_AUDIO_FRAME, false), DVR_RESULT_OK);
    ASSERT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
    for (int i = 0; i < 800; ++i)
        ASSERT_EQ(frame(core, DVR_EVENT_AUDIO_FRAME, false), DVR_RESULT_OK);
}

TEST(FrameFlow, FramesWithoutFlowControlFlagPassUnchecked)
{
    TestBus core;
    core.bus.setThrottling(true);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false, kCamera, 0), DVR_RESULT_OK);
    EXPECT_EQ(frame(core, DVR_EVENT_AUDIO_FRAME, false, kCamera, 0), DVR_RESULT_OK);
}

TEST(FrameFlow, ThrottlingDropsFramesAndResetsTheGate)
{
    TestBus core;
    ASSERT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
    core.bus.setThrottling(true);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_THROTTLED);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_THROTTLED);
    EXPECT_EQ(frame(core, DVR_EVENT_AUDIO_FRAME, false), DVR_RESULT_THROTTLED);
    EXPECT_EQ(core.frameGate.throttledVideoCount(), 2u);
    EXPECT_EQ(core.frameGate.throttledAudioCount(), 1u);
    core.bus.setThrottling(false);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, false), DVR_RESULT_NO_KEY_FRAME);
    EXPECT_EQ(frame(core, DVR_EVENT_VIDEO_FRAME, true), DVR_RESULT_OK);
}

TEST(FrameFlow, FramesUnderEverNewProviderIdsTakeBoundedRoom)
{
    // A plugin may name any provider: frames that leave one waiting for a
    // key frame take no room, and key frames never more than the bound.
    FrameGate gate;
    const uint32_t providers = 3 * FrameGate::kMaxProviders;
    for (uint32_t id = 1; id <= providers; ++id) {
        ASSERT_EQ(gate.admit(id, DVR_EVENT_VIDEO_FRAME, 0, false), DVR_RESULT_NO_KEY_FRAME);
        ASSERT_EQ(gate.admit(id, DVR_EVENT_AUDIO_FRAME, 0, false), DVR_RESULT_OK);
    }
    EXPECT_EQ(gate.providers(), 0u);
    for (uint32_t id = 1; id <= providers; ++id) {
        ASSERT_EQ(gate.admit(id, DVR_EVENT_VIDEO_FRAME, DVR_FRAME_KEY, false), DVR_RESULT_OK);
        ASSERT_EQ(gate.admit(id, DVR_EVENT_VIDEO_FRAME, 0, false), DVR_RESULT_OK);
    }
    EXPECT_EQ(gate.providers(), FrameGate::kMaxProviders);
    ASSERT_EQ(gate.admit(providers, DVR_EVENT_VIDEO_FRAME, 0, true), DVR_RESULT_THROTTLED);
    EXPECT_EQ(gate.providers(), FrameGate::kMaxProviders - 1) << "throttling forgets the provider";
}

TEST(FrameFlow, RefusedFramesLeaveNothingQueued)
{
    TestBus core;
    frame(core, DVR_EVENT_VIDEO_FRAME, false);
    core.bus.setThrottling(true);
    frame(core, DVR_EVENT_VIDEO_FRAME, true);
    EXPECT_EQ(core.queued(), 0u);
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

}  // namespace
