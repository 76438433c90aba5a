// The runs the event bus benchmark compares: the bus itself, and references
// doing the same work (copy each event's data, hand each record to the
// plugins' Write, free the data) the plainest way, and a message library's
// publish/subscribe.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <vector>

#include "plugin/dvrplugin.h"

// What the producers of one run post: `events` events from `producers`
// threads, producer p posting events p, p + producers, ... Event i has
// minBytes bytes, or, with maxBytes above minBytes, a size from a fixed
// pseudo-random sequence between the two (inclusive). With a `window`, a
// producer takes one unit of it before each post, waiting while there is
// none, and with `posted`, gives one unit to that after each post: the
// run's plugins may use both to pace the producers.
struct ProducerLoad {
    uint32_t minBytes = 0;
    uint32_t maxBytes = 0;
    int producers = 1;
    int64_t events = 0;
    sem_t *window = nullptr;
    sem_t *posted = nullptr;

    uint32_t bytesOf(int64_t i) const
    {
        if (maxBytes <= minBytes)
            return minBytes;
        uint64_t z = uint64_t(i) + 0x9E3779B97F4A7C15ull;  // splitmix64
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return minBytes + uint32_t((z ^ (z >> 31)) % (maxBytes - minBytes + 1));
    }

    // Calls post(data, len) for each of producer `p`'s events, in
    // order, the data from a buffer of this thread's own.
    template <class Post>
    void produce(int p, Post post) const
    {
        const std::vector<uint8_t> payload(maxBytes > minBytes ? maxBytes : minBytes + 1, 0x5A);
        for (int64_t i = p; i < events; i += producers) {
            if (window)
                while (sem_wait(window) != 0) {
                }
            const uint32_t len = bytesOf(i);
            post(len ? payload.data() : nullptr, len);
            if (posted)
                sem_post(posted);
        }
    }
};

// Each run returns once every event has been delivered to every plugin.

// The event bus with `plugins` subscribers taking every event through
// `write`, its delivery loop on a thread of its own.
void runEventBus(const ProducerLoad &load, int plugins, DvrWriteFn write);

// A mutex, a condition variable and a deque of whole records: producers copy
// the data into a malloc block, append under the lock and signal once per
// record; one consumer takes one record at a time, calls `write` `plugins`
// times and frees the data.
void runBareQueue(const ProducerLoad &load, int plugins, DvrWriteFn write);

// An in-process PUB socket and `subscribers` SUB sockets, each on its own
// thread, with no high-water mark (nothing is dropped). One producer sends
// `events` messages of `size` bytes. True when every subscriber received all.
bool runZeroMQ(uint32_t size, int64_t events, int subscribers);
