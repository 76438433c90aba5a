// Reference queues for the event bus benchmark: the same work as the bus
// (copy each event's data, hand each record to three plugins' Write, free the
// data) done the plainest way, and a message library's publish/subscribe.
#pragma once

#include <cstdint>

#include "plugin/dvrplugin.h"

// A mutex, a condition variable and a deque of whole records: producers copy
// the data, append under the lock and signal once per record; one consumer
// takes one record at a time, calls `write` `plugins` times and frees the
// data. Returns when every event has been delivered.
void runBareQueue(uint32_t size, int producers, int64_t events, int plugins, DvrWriteFn write);

// An in-process PUB socket and `subscribers` SUB sockets, each on its own
// thread, with no high-water mark (nothing is dropped). One producer sends
// `events` messages of `size` bytes. True when every subscriber received all.
bool runZeroMQ(uint32_t size, int64_t events, int subscribers);
