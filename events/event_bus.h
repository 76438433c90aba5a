// The event bus: one queue of event records and the one delivery loop that
// hands each to the plugins subscribing to it, sharing one data block among
// them; the frame flow control and read-request bookkeeping on the way in;
// the block table that frees each block when its last holder lets go.
//
// Producers call post() on any thread; runDeliveryLoop() runs on one thread
// (the core's main thread) and is the only consumer. No plugin is called with
// a lock of the bus held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "events/block_cache.h"
#include "events/frame_gate.h"
#include "events/read_requests.h"
#include "events/record_queue.h"
#include "events/refblock_table.h"
#include "events/status_report.h"
#include "events/subscription.h"
#include "events/time_source.h"
#include "log/log_levels.h"
#include "log/logging.h"
#include "plugin/dvrplugin.h"

class EventBus {
public:
    // `logLevels` decides whether writes are timed (the core's own entry);
    // the bus's own log lines go through `entry` like any other producer's.
    EventBus(TimeSource &clock, const LogLevelTable &logLevels, DvrEventEntry entry);
    // Frees the data of records that were never delivered.
    ~EventBus();
    EventBus(const EventBus &) = delete;
    EventBus &operator=(const EventBus &) = delete;

    // An ordinary event from a producer: refused while stopping, passed
    // through the key-frame gate and throttling, its data copied, checked as
    // an answer to a read request, and queued. Returns the result word.
    int32_t post(const _EventParmsIn &in);
    // Drops `holder`'s hold on the block at `data`; the last holder frees it.
    // A release in the core's name (DVR_PROVIDER_CORE) is ignored: the core's
    // holds are the delivery loop's own.
    void release(void *data, uint32_t holder);

    // From now on nothing is queued, and the delivery loop returns once the
    // queue is empty. Any thread, any number of times.
    void requestStop();
    bool stopping() const { return stopRequested.load() != 0; }
    // Wakes the delivery loop once without queuing anything.
    void wake() { queueCondition.notify_one(); }

    // Delivers every queued event in order until a stop is requested and the
    // queue is empty.
    void runDeliveryLoop();
    size_t queued();

    // The plugins events are delivered to, in delivery order. Changed only
    // while the delivery loop does not run.
    Subscriber &addSubscriber(Subscriber subscriber);
    void clearSubscribers() { subscribers.clear(); }

    // Receives the text of every configuration document with data, on the
    // delivery thread, before any plugin sees the document. Set before the
    // delivery loop runs.
    using ConfigListener = std::function<void(std::string text)>;
    void onConfigDocument(ConfigListener listener) { configListener = std::move(listener); }

    // While memory throttling is active every gated frame is dropped, and
    // freed data blocks go straight back to the heap.
    void setThrottling(bool active);
    bool throttling() const { return throttlingActive.load() != 0; }

    RefBlockTable &blocks() { return refBlockTable; }
    FrameGate &frameGate() { return gate; }
    ReadRequests &readRequests() { return requests; }

private:
    void *copyData(const _EventParmsIn &in, int32_t &result);
    bool enqueue(const _EventParmsIn &in, void *data);
    bool takeBatch();
    void cacheFreedBlocks();
    bool trimBeforeSleep(std::unique_lock<std::mutex> &lock);
    void disposeOf(void *data, uint32_t len);
    void deliverEvent(const _EventParmsIn &event, size_t batchLeft);
    size_t waitingBehind(size_t batchLeft);
    void writeToPlugin(const Subscriber &plugin, const _EventParmsIn &event,
                       const _WriteParmsIn &record, bool timed, DeliveryHolds &holds);
    void noteWriteTime(const Subscriber &plugin, const _EventParmsIn &event,
                       TimeSource::Clock::duration took);
    void writeFailed(const Subscriber &plugin, const _EventParmsIn &event, int result, int error);
    void updatePluginConfig(const Subscriber &plugin, const _EventParmsIn &event,
                            DeliveryHolds &holds);

    TimeSource &clock;
    const LogLevelTable &logLevels;
    const DvrEventEntry entry;
    const CoreLogger log{entry};
    std::vector<Subscriber> subscribers;
    ConfigListener configListener;

    // Producers append to eventQueue under queueMutex. The delivery loop
    // takes everything queued in one step, into `batch`, which it delivers
    // with no lock held, and sleeps only when nothing is queued; a producer
    // signals the condition only when the loop sleeps.
    std::mutex queueMutex;
    std::condition_variable queueCondition;
    RecordQueue eventQueue;
    bool loopSleeping = false;                // under queueMutex
    RecordQueue batch;                        // delivery thread only
    std::atomic<size_t> batchUndelivered{0};  // of `batch`, for queued()
    // Blocks the delivery loop freed wait in freedBlocks (delivery thread
    // only) and go to the cache when they add up to kFreedBlocksWaiting
    // blocks or kFreedBytesWaiting bytes, or when the loop takes the next
    // batch; producers take from the cache for their copies. So at most
    // BlockCache::kBudgetBytes are parked in the cache and less than
    // kFreedBytesWaiting + BlockCache::kMaxBlockBytes wait for it, busy or
    // not. cacheMutex is taken alone, or after queueMutex.
    static constexpr size_t kFreedBlocksWaiting = 64;
    static constexpr size_t kFreedBytesWaiting = 64 * 1024;
    std::mutex cacheMutex;
    BlockCache blockCache;                    // under cacheMutex
    std::atomic<bool> blocksCached{false};    // whether it may have any
    std::vector<BlockCache::Block> freedBlocks;
    size_t freedBytes = 0;                    // of freedBlocks
    std::atomic<uint8_t> stopRequested{0};  // written under queueMutex
    std::atomic<uint8_t> throttlingActive{0};

    ReadRequests requests;  // before the block table, which wakes its waiters
    RefBlockTable refBlockTable;
    FrameGate gate;
    StatusReport statusReport;
};
