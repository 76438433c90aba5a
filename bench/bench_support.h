// What the benchmarks share: the event bus as the core starts it, with the
// bare queue's calls; subscribers taking every event; the producer load of
// the throughput and sustained-load runs.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "bare_queue.h"
#include "events/event_bus.h"
#include "events/time_source.h"
#include "log/log_levels.h"

// The components log only on failure, and a missing result shows it.
inline int noEntry(const _EventParmsIn *, _EventParmsOut *)
{
    return 0;
}

class SystemClock : public TimeSource {
public:
    Clock::time_point Now() override { return Clock::now(); }
};

// The event bus at the core's start level (25, so writes are not timed).
struct BusCore {
    BusCore() { logLevels.set(LogLevelTable::kCoreIndex, 25); }
    void addSubscriber(Subscriber s) { bus.addSubscriber(std::move(s)); }
    int32_t post(const _EventParmsIn &in) { return bus.post(in); }
    void release(void *data, uint32_t holder) { bus.release(data, holder); }
    void runDeliveryLoop() { bus.runDeliveryLoop(); }
    void requestStop() { bus.requestStop(); }
    bool drained() { return bus.queued() == 0 && bus.blocks().counts().blockCount == 0; }

    SystemClock clock;
    LogLevelTable logLevels;
    EventBus bus{clock, logLevels, noEntry};
};

// `plugins` subscribers of `queue` taking every event through `write`.
template <class Queue>
void subscribeAll(Queue &queue, int plugins, DvrWriteFn write)
{
    for (int i = 0; i < plugins; ++i) {
        Subscriber plugin;
        plugin.pluginId = 0x00100000u * uint32_t(i + 1);
        plugin.Write = write;
        for (uint32_t &word : plugin.subscribe)
            word = 0xFFFFFFFFu;
        plugin.writable = true;
        plugin.fileName = "bench.so";
        queue.addSubscriber(std::move(plugin));
    }
}

// A fixed pseudo-random number for `key` (splitmix64): the same in every run.
inline uint64_t mix(uint64_t key)
{
    uint64_t z = key + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A camera's event record, the data and length left to fill.
inline _EventParmsIn frameRecord(uint32_t providerId)
{
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.providerID = providerId;
    in.eventType = DVR_EVENT_KIND_0x8;
    return in;
}

// `events` events from `producers` threads, producer p posting events p,
// p + producers, ... of minBytes, or with maxBytes above it a size from a
// fixed pseudo-random sequence between the two. With a `window` a producer
// takes one unit of it before each post; with `posted` it gives one after.
struct ProducerLoad {
    uint32_t minBytes = 0;
    uint32_t maxBytes = 0;
    int producers = 1;
    int64_t events = 0;
    sem_t *window = nullptr;
    sem_t *posted = nullptr;

    uint32_t bytesOf(int64_t i) const
    {
        return maxBytes <= minBytes
                   ? minBytes
                   : minBytes + uint32_t(mix(uint64_t(i)) % (maxBytes - minBytes + 1));
    }

    void produce(int p, int32_t (*post)(void *, const _EventParmsIn &), void *queue) const
    {
        const std::vector<uint8_t> payload(maxBytes > minBytes ? maxBytes : minBytes + 1, 0x5A);
        _EventParmsIn in = frameRecord(0x00200000u + (uint32_t(p) << 16));
        for (int64_t i = p; i < events; i += producers) {
            if (window)
                while (sem_wait(window) != 0) {
                }
            in.len = bytesOf(i);
            in.data = in.len ? const_cast<uint8_t *>(payload.data()) : nullptr;
            post(queue, in);
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
    auto post = [](void *q, const _EventParmsIn &in) { return static_cast<Queue *>(q)->post(in); };
    std::vector<std::thread> threads;
    for (int p = 0; p < load.producers; ++p)
        threads.emplace_back([&, p] { load.produce(p, post, &queue); });
    for (auto &thread : threads)
        thread.join();
    queue.requestStop();
    delivery.join();
}
