#include "events/frame_gate.h"

#include "plugin/dvrplugin.h"

int FrameGate::admit(uint32_t providerID, uint32_t eventType, uint8_t frameType, bool throttling)
{
    std::lock_guard<std::mutex> lock(frameCounterMutex);
    const auto entry = frameCounters.find(providerID);
    if (throttling) {
        // The provider waits for a key frame once throttling ends.
        if (entry != frameCounters.end())
            frameCounters.erase(entry);
        if (eventType & DVR_EVENT_VIDEO_FRAME)
            throttledVideo.fetch_add(1, std::memory_order_relaxed);
        if (eventType & DVR_EVENT_AUDIO_FRAME)
            throttledAudio.fetch_add(1, std::memory_order_relaxed);
        return DVR_RESULT_THROTTLED;
    }
    if (!(eventType & DVR_EVENT_VIDEO_FRAME))
        return DVR_RESULT_OK;
    if (frameType == DVR_FRAME_KEY) {
        if (entry != frameCounters.end())
            entry->second = 1;
        else
            rememberKeyFrame(providerID);
        return DVR_RESULT_OK;
    }
    if (entry == frameCounters.end())
        return DVR_RESULT_NO_KEY_FRAME;
    // Saturate one past the limit: an endless run of refused dependent frames
    // must not wrap the counter back into the accepting range.
    int32_t &counter = entry->second;
    if (counter <= kMaxFramesPerKey)
        ++counter;
    return counter > kMaxFramesPerKey ? DVR_RESULT_TOO_MANY_DEPENDENT : DVR_RESULT_OK;
}

void FrameGate::rememberKeyFrame(uint32_t providerID)
{
    if (frameCounters.size() >= kMaxProviders)
        frameCounters.erase(frameCounters.begin());
    frameCounters.emplace(providerID, 1);
}

size_t FrameGate::providers()
{
    std::lock_guard<std::mutex> lock(frameCounterMutex);
    return frameCounters.size();
}
