// The metrics plugin's counters. One thread writes them: the core calls Write
// and IOCTL(IOCTL_UPDATE_CONFIG) from its delivery thread, one event at a
// time. Another reads them: the plugin's worker, when it answers a scrape.
// A write is a few plain loads and stores of lock-free atomics into storage
// that exists from the start; nothing allocates, locks or formats.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace metrics {

// Both are lock-free on 32-bit ARM (ldrexd/strexd) as on x86-64; a counter
// that fell back to a lock would break the promise above.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit counters must be lock-free");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "32-bit words must be lock-free");

// One series as the reader sees it: a key of two words and two counts.
struct Series {
    uint32_t key1;
    uint32_t key2;
    uint64_t count1;
    uint64_t count2;
};

// The single writer's increment: no read-modify-write instruction needed.
inline void bump(std::atomic<uint64_t> &counter, uint64_t by)
{
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

// A fixed open-addressing table of series keyed by two words. A slot, once
// claimed for a key, keeps it: the keys are written before the slot is
// published with a release store, and the reader takes them after an
// acquire load, so it never sees a half-made key. A key that finds no slot
// within kMaxProbes is not counted; `dropped` says how often that happened.
template <size_t Capacity>
class SeriesTable {
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    static constexpr size_t kMaxProbes = 32;

    // Writer only. False when the key has no slot (counted in dropped).
    bool add(uint32_t key1, uint32_t key2, uint64_t count1, uint64_t count2)
    {
        size_t index = hash(key1, key2);
        for (size_t probe = 0; probe < kMaxProbes; ++probe, index = (index + 1) & (Capacity - 1)) {
            Slot &slot = slots[index];
            if (!slot.used.load(std::memory_order_relaxed)) {
                slot.key1 = key1;
                slot.key2 = key2;
                slot.used.store(1, std::memory_order_release);
            } else if (slot.key1 != key1 || slot.key2 != key2) {
                continue;
            }
            bump(slot.count1, count1);
            bump(slot.count2, count2);
            return true;
        }
        bump(dropped, 1);
        return false;
    }

    // Reader: appends every published series, in slot order.
    void collect(std::vector<Series> &out) const
    {
        for (const Slot &slot : slots)
            if (slot.used.load(std::memory_order_acquire))
                out.push_back({slot.key1, slot.key2, slot.count1.load(std::memory_order_relaxed),
                               slot.count2.load(std::memory_order_relaxed)});
    }

    uint64_t droppedCount() const { return dropped.load(std::memory_order_relaxed); }

private:
    static size_t hash(uint32_t key1, uint32_t key2)
    {
        // Provider IDs differ in bits 16-27 and in their low bits (a camera
        // plugin's channels): fold both halves before mixing.
        uint32_t h = (key1 ^ (key1 >> 16)) * 0x9E3779B1u ^ key2 * 0x85EBCA77u;
        return (h ^ (h >> 15)) & (Capacity - 1);
    }

    struct Slot {
        std::atomic<uint32_t> used{0};
        uint32_t key1 = 0;
        uint32_t key2 = 0;
        std::atomic<uint64_t> count1{0};
        std::atomic<uint64_t> count2{0};
    };
    Slot slots[Capacity];
    std::atomic<uint64_t> dropped{0};
};

// What the core's periodic queue report said. Its counts cover the minute
// before each report; the totals here add them up.
struct QueueReport {
    uint64_t queueLength = 0;
    uint64_t throttledVideo = 0;
    uint64_t throttledAudio = 0;
    uint64_t events = 0;
    uint64_t blocks = 0;
    uint64_t blockBytes = 0;
};

// Every count and gauge the delivery thread keeps. A gauge that has not been
// seen yet holds kUnknown and is left out of the exposition.
struct Counters {
    static constexpr int64_t kUnknown = INT64_MIN;

    SeriesTable<1024> events;  // provider, event type: events, bytes
    SeriesTable<512> frames;   // provider: key frames, dependent frames
    SeriesTable<256> logs;     // source, level: messages

    std::atomic<int64_t> throttling{kUnknown};       // from the memory documents
    std::atomic<int64_t> throttlingTime{kUnknown};   // their Time, epoch seconds
    std::atomic<uint64_t> memoryDocuments{0};
    std::atomic<uint64_t> configDocuments{0};
    std::atomic<uint64_t> configBytes{0};

    // Totals of the queue reports, and the last report's gauges.
    std::atomic<uint64_t> queueReports{0};
    std::atomic<uint64_t> throttledVideo{0};
    std::atomic<uint64_t> throttledAudio{0};
    std::atomic<uint64_t> queueEvents{0};
    std::atomic<uint64_t> queueLength{0};
    std::atomic<uint64_t> blocksHeld{0};
    std::atomic<uint64_t> blockBytesHeld{0};

    void addQueueReport(const QueueReport &report)
    {
        bump(throttledVideo, report.throttledVideo);
        bump(throttledAudio, report.throttledAudio);
        bump(queueEvents, report.events);
        queueLength.store(report.queueLength, std::memory_order_relaxed);
        blocksHeld.store(report.blocks, std::memory_order_relaxed);
        blockBytesHeld.store(report.blockBytes, std::memory_order_relaxed);
        bump(queueReports, 1);
    }
};

}  // namespace metrics
