#include "events/frame_gate.h"

#include "plugin/dvrplugin.h"

int FrameGate::admit(uint32_t providerID, uint32_t eventType, uint8_t frameType, bool throttling)
{
    std::lock_guard<std::mutex> lock(frameCounterMutex);
    int32_t &counter = frameCounters[providerID];
    if (throttling) {
        counter = 0;
        if (eventType & DVR_EVENT_VIDEO_FRAME)
            throttledVideo.fetch_add(1, std::memory_order_relaxed);
        if (eventType & DVR_EVENT_AUDIO_FRAME)
            throttledAudio.fetch_add(1, std::memory_order_relaxed);
        return DVR_RESULT_THROTTLED;
    }
    if (!(eventType & DVR_EVENT_VIDEO_FRAME))
        return DVR_RESULT_OK;
    if (frameType == DVR_FRAME_KEY) {
        counter = 1;
        return DVR_RESULT_OK;
    }
    if (counter == 0)
        return DVR_RESULT_NO_KEY_FRAME;
    // Saturate one past the limit: an endless run of refused dependent frames
    // must not wrap the counter back into the accepting range.
    if (counter <= kMaxFramesPerKey)
        ++counter;
    return counter > kMaxFramesPerKey ? DVR_RESULT_TOO_MANY_DEPENDENT : DVR_RESULT_OK;
}
