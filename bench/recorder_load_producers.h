// The recorder-load benchmark's producers: cameras sending video and audio
// in real time, and a stream of log lines, each event posted at an absolute
// deadline so that pacing does not drift.
//
// Per camera: 30 video frames a second with a key frame every 30 frames; key
// frames of 200 KiB, the frames between them 20-60 KiB from a fixed
// pseudo-random sequence (40 KiB on average, about 11 Mbit/s a camera: a
// high-resolution main stream), and 50 audio packets a second of 320 bytes
// (20 ms of 8 kHz 16-bit mono). Frames of both kinds carry the flow-control
// flag, as a camera plugin's do, so they pass the key-frame gate; each
// camera's first video frame is a key frame, so none should be refused.
// Every stream starts at its own fixed pseudo-random phase within its period,
// as independent cameras do. On top of that 100 log lines a second (level 25,
// posted straight to the bus, which does not filter by level), from producer
// 0. Camera c is served by producer c % producers, so all of one camera's
// events come from one thread. Each producer fills its frames itself, outside
// the timed post().
#pragma once

#include <cstdint>
#include <map>

#include "recorder_load_target.h"
#include "recorder_load_plugins.h"

namespace recorder_load {

enum EventKind { kVideo, kAudio, kLog, kKindCount };
extern const char *const kKindNames[kKindCount];

constexpr uint32_t kVideoRate = 30;
constexpr uint32_t kKeyFrameEvery = 30;
constexpr uint32_t kAudioRate = 50;
constexpr uint32_t kLogRate = 100;
constexpr uint32_t kKeyFrameBytes = 200 * 1024;
constexpr uint32_t kDeltaMinBytes = 20 * 1024;
constexpr uint32_t kDeltaMaxBytes = 60 * 1024;
constexpr uint32_t kAudioBytes = 320;

// What one producer thread did; read once it has been joined.
struct ProducerTally {
    uint64_t posted[kKindCount] = {};
    uint64_t accepted[kKindCount] = {};
    std::map<int32_t, uint64_t> refusals;  // result word -> count
    // Posts stamped inside the window: how many, their bytes, the CPU time
    // of this thread inside post(), and the latest a post came after its
    // deadline (after the sleep, before the frame is filled).
    uint64_t windowEvents = 0;
    uint64_t windowBytes = 0;
    uint64_t windowPostCpuNs = 0;
    int64_t worstLagNs = 0;
    // This thread's CPU time from its first post of the window to its last.
    uint64_t windowThreadCpuNs = 0;
};

// Posts producer `index`'s share of the load from `startNs` (steady clock)
// until the end of `window`, then returns.
void runProducer(LoadTarget &bus, uint32_t cameras, uint32_t producers, uint32_t index,
                 int64_t startNs, const Window &window, ProducerTally &tally);

// Sleeps until the steady clock reads `deadlineNs`.
void sleepUntilNs(int64_t deadlineNs);

// What one reading of a thread CPU clock around some work adds to the work's
// time: the median of back-to-back readings with just the stamp between
// them, as the producers and the live-view sender take them.
uint64_t threadClockCostNs();

}  // namespace recorder_load
