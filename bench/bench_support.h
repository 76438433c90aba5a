// What the benchmarks share: the event bus as the core starts it, the bare
// queue every benchmark compares it with, subscribers, and the producer load
// of the throughput and sustained-load runs.
#pragma once

#include <semaphore.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "events/event_bus.h"
#include "events/records.h"
#include "events/subscription.h"
#include "events/time_source.h"
#include "log/log_levels.h"
#include "plugin/dvrplugin_helpers.h"

class SystemClock : public TimeSource {
public:
    Clock::time_point Now() override { return Clock::now(); }
};

// The queue a load runs through, the event bus or the bare queue. Both are
// final, so a benchmark holding one by its own type calls it directly.
class LoadQueue {
public:
    virtual ~LoadQueue() = default;
    virtual void addSubscriber(Subscriber subscriber) = 0;
    virtual int32_t post(const _EventParmsIn &in) = 0;
    virtual void release(void *data, uint32_t holder) = 0;
    virtual void runDeliveryLoop() = 0;
    virtual void requestStop() = 0;
    virtual bool drained() = 0;  // nothing queued and no block held
};

// The event bus at the core's start level (25, so writes are not timed).
class BusCore final : public LoadQueue {
public:
    BusCore() { logLevels.set(LogLevelTable::kCoreIndex, 25); }
    void addSubscriber(Subscriber s) override { bus.addSubscriber(std::move(s)); }
    int32_t post(const _EventParmsIn &in) override { return bus.post(in); }
    void release(void *data, uint32_t holder) override { bus.release(data, holder); }
    void runDeliveryLoop() override { bus.runDeliveryLoop(); }
    void requestStop() override { bus.requestStop(); }
    bool drained() override { return bus.queued() == 0 && bus.blocks().counts().blockCount == 0; }

private:
    SystemClock clock;
    LogLevelTable logLevels;
    // The bus logs only on failure, and a missing result shows it.
    EventBus bus{clock, logLevels, [](const _EventParmsIn *, _EventParmsOut *) { return 0; }};
};

// The plainest queue one would write: post() copies the data into a malloc
// block and appends the record to a deque under a mutex, signalling a
// condition variable; the delivery loop takes one record at a time, hands it
// to each subscribed plugin's Write and frees the block, unless plugins kept
// it: then the last release() frees it. No key-frame gate, no block table
// beyond that count.
class BareQueue final : public LoadQueue {
public:
    void addSubscriber(Subscriber subscriber) override
    {
        subscribers.push_back(std::move(subscriber));
    }

    int32_t post(const _EventParmsIn &in) override
    {
        _EventParmsIn record = in;
        record.data = nullptr;
        if (in.data && in.len) {
            record.data = std::malloc(in.len);
            std::memcpy(record.data, in.data, in.len);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(record);
        }
        condition.notify_one();
        return DVR_RESULT_OK;
    }

    void runDeliveryLoop() override  // delivers until requestStop() finds the queue empty
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            condition.wait(lock, [&] { return !queue.empty() || stopping; });
            if (queue.empty())
                return;
            const _EventParmsIn event = queue.front();
            queue.pop_front();
            lock.unlock();
            deliver(event);
            lock.lock();
        }
    }

    void requestStop() override
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        condition.notify_all();
    }

    void release(void *data, uint32_t) override
    {
        {
            std::lock_guard<std::mutex> lock(keptMutex);
            auto it = keepers.find(data);
            if (it == keepers.end() || --it->second != 0)
                return;
            keepers.erase(it);
        }
        std::free(data);
    }

    bool drained() override
    {
        std::scoped_lock lock(mutex, keptMutex);
        return queue.empty() && keepers.empty();
    }

private:
    void deliver(const _EventParmsIn &event)
    {
        const uint32_t match = DVR_MATCH_VALUE(event.flags);
        uint32_t kept = 0;
        for (const Subscriber &plugin : subscribers) {
            if (!plugin.writable || !subscriptionMatches(plugin.subscribe, event.eventType, match))
                continue;
            const _WriteParmsIn in = writeRecordFor(event);
            _WriteParmsOut out = writeAnswerPreset();
            plugin.Write(&in, &out);
            kept += out.keep != 0;
        }
        if (kept == 0) {
            std::free(event.data);
            return;
        }
        std::lock_guard<std::mutex> lock(keptMutex);
        keepers[event.data] = kept;
    }

    std::vector<Subscriber> subscribers;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;
    bool stopping = false;
    std::mutex keptMutex;
    std::unordered_map<void *, uint32_t> keepers;  // block -> plugins still holding it
};

// A writable in-process plugin taking through `write` what the subscription
// words in `words` name; every event when there are none.
inline Subscriber benchSubscriber(uint32_t id, DvrWriteFn write, const char *fileName,
                                  std::initializer_list<int> words = {})
{
    Subscriber plugin;
    plugin.pluginId = id;
    plugin.Write = write;
    for (uint32_t &word : plugin.subscribe)
        word = words.size() == 0 ? 0xFFFFFFFFu : 0;
    for (int word : words)
        plugin.subscribe[word] = 0xFFFFFFFFu;
    plugin.writable = true;
    plugin.fileName = fileName;
    return plugin;
}

// `plugins` subscribers of `queue` taking every event through `write`.
template <class Queue>
void subscribeAll(Queue &queue, int plugins, DvrWriteFn write)
{
    for (int i = 0; i < plugins; ++i)
        queue.addSubscriber(benchSubscriber(0x00100000u * uint32_t(i + 1), write, "bench.so"));
}

// A fixed pseudo-random number for `key` (splitmix64): the same in every run.
inline uint64_t mix(uint64_t key)
{
    uint64_t z = key + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// `events` events from `producers` threads, producer p posting events p,
// p + producers, ... of minBytes, or with maxBytes above it a size from a
// fixed pseudo-random sequence between the two. With a `window` a producer
// takes one unit of it before each post; with `posted` it gives one after.
struct ProducerLoad {
    uint32_t minBytes = 0, maxBytes = 0;
    int producers = 1;
    int64_t events = 0;
    sem_t *window = nullptr, *posted = nullptr;

    template <class Queue>
    void produce(int p, Queue &queue) const
    {
        const std::vector<uint8_t> payload(maxBytes > minBytes ? maxBytes : minBytes + 1, 0x5A);
        _EventParmsIn in = dvr_event_in(0x00200000u + (uint32_t(p) << 16), DVR_EVENT_KIND_0x8, 0);
        for (int64_t i = p; i < events; i += producers) {
            if (window)
                while (sem_wait(window) != 0) {
                }
            in.len = maxBytes <= minBytes
                         ? minBytes
                         : minBytes + uint32_t(mix(uint64_t(i)) % (maxBytes - minBytes + 1));
            in.data = in.len ? const_cast<uint8_t *>(payload.data()) : nullptr;
            queue.post(in);
            if (posted)
                sem_post(posted);
        }
    }
};

// One run of `load` through a Queue (BusCore or BareQueue) to `plugins`
// subscribers, its delivery loop on a thread of its own; returns once every
// event has been delivered.
template <class Queue>
void runQueue(const ProducerLoad &load, int plugins, DvrWriteFn write)
{
    Queue queue;
    subscribeAll(queue, plugins, write);
    std::thread delivery([&] { queue.runDeliveryLoop(); });
    std::vector<std::thread> threads;
    for (int p = 0; p < load.producers; ++p)
        threads.emplace_back([&, p] { load.produce(p, queue); });
    for (auto &thread : threads)
        thread.join();
    queue.requestStop();
    delivery.join();
}
