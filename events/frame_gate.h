// Flow control for video and audio frames: the per-provider key-frame gate and
// the counters of frames dropped while memory throttling is active.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>

class FrameGate {
public:
    // A key frame may be followed by this many counted frames (key included)
    // before dependent frames are refused until the next key frame.
    static constexpr int32_t kMaxFramesPerKey = 765;

    // Decides one frame that carries the flow-control flag. Returns 0 to
    // accept it, or the refusal code for the producer's result.
    int admit(uint32_t providerID, uint32_t eventType, uint8_t frameType, bool throttling);

    // Frames dropped by throttling since the last take (reset to 0).
    uint32_t takeThrottledVideo() { return throttledVideo.exchange(0); }
    uint32_t takeThrottledAudio() { return throttledAudio.exchange(0); }
    uint32_t throttledVideoCount() const { return throttledVideo.load(); }
    uint32_t throttledAudioCount() const { return throttledAudio.load(); }

private:
    std::mutex frameCounterMutex;
    // 0: waiting for a key frame; n >= 1: n - 1 dependent frames since it.
    std::unordered_map<uint32_t, int32_t> frameCounters;
    std::atomic<uint32_t> throttledVideo{0};
    std::atomic<uint32_t> throttledAudio{0};
};
