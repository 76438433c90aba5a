// Flow control for video and audio frames: the per-provider key-frame gate and
// the counters of frames dropped while memory throttling is active.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

class FrameGate {
public:
    // A key frame may be followed by this many counted frames (key included)
    // before dependent frames are refused until the next key frame.
    static constexpr int32_t kMaxFramesPerKey = 765;
    // Providers past a key frame that the gate remembers at once; far more
    // than the plugins of one device post frames as. A key frame from one
    // more makes the gate forget another, which then waits for its next key
    // frame, so frames under ever new provider IDs cannot grow the table.
    static constexpr size_t kMaxProviders = 4096;

    // Decides one frame that carries the flow-control flag. Returns 0 to
    // accept it, or the refusal code for the producer's result.
    int admit(uint32_t providerID, uint32_t eventType, uint8_t frameType, bool throttling);

    // Frames dropped by throttling since the last take (reset to 0).
    uint32_t takeThrottledVideo() { return throttledVideo.exchange(0); }
    uint32_t takeThrottledAudio() { return throttledAudio.exchange(0); }
    uint32_t throttledVideoCount() const { return throttledVideo.load(); }
    uint32_t throttledAudioCount() const { return throttledAudio.load(); }

    // Providers the gate remembers (for tests).
    size_t providers();

private:
    void rememberKeyFrame(uint32_t providerID);

    std::mutex frameCounterMutex;
    // n >= 1: n - 1 dependent frames since the provider's last key frame. A
    // provider waiting for a key frame has no entry.
    std::unordered_map<uint32_t, int32_t> frameCounters;
    std::atomic<uint32_t> throttledVideo{0};
    std::atomic<uint32_t> throttledAudio{0};
};
