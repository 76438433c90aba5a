// route_events [--bare] N [B]: posts N events of B bytes (64) to three
// subscribers, then runs the delivery loop on the same thread until every
// event is delivered, nothing waiting, so that an instruction count depends
// only on N (bench/callgrind.sh). With --bare through the bare queue.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_support.h"

namespace {

constexpr int kPlugins = 3;
uint64_t writes = 0;
volatile uint8_t lastByte = 0;

int countingWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    if (in->data)  // touches the block, as a subscriber would
        lastByte = static_cast<const uint8_t *>(in->data)[0];
    ++writes;
    return 0;
}

template <class Queue>
bool route(long events, const std::vector<uint8_t> &payload, long size)
{
    Queue queue;
    subscribeAll(queue, kPlugins, countingWrite);
    _EventParmsIn in = dvr_event_in(0x00200000u, DVR_EVENT_KIND_0x8, 0);
    in.data = size ? const_cast<uint8_t *>(payload.data()) : nullptr;
    in.len = static_cast<uint32_t>(size);
    for (long i = 0; i < events; ++i)
        if (queue.post(in) != DVR_RESULT_OK) {
            std::fprintf(stderr, "route_events: event %ld refused\n", i);
            return false;
        }
    queue.requestStop();
    queue.runDeliveryLoop();
    return queue.drained();
}

}  // namespace

int main(int argc, char **argv)
{
    const bool bare = argc > 1 && std::strcmp(argv[1], "--bare") == 0;
    argv += bare;
    argc -= bare;
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: route_events [--bare] EVENTS [BYTES]\n");
        return 2;
    }
    const long events = std::atol(argv[1]);
    const long size = argc == 3 ? std::atol(argv[2]) : 64;
    if (events <= 0 || size < 0 || size > (1 << 20)) {
        std::fprintf(stderr, "route_events: EVENTS must be positive, BYTES 0..1048576\n");
        return 2;
    }
    const std::vector<uint8_t> payload(size ? size : 1, 0x5A);
    const bool drained = bare ? route<BareQueue>(events, payload, size)
                              : route<BusCore>(events, payload, size);
    if (!drained || writes != uint64_t(events) * kPlugins) {
        std::fprintf(stderr, "route_events: %llu deliveries of %llu expected%s\n",
                     static_cast<unsigned long long>(writes),
                     static_cast<unsigned long long>(events) * kPlugins,
                     drained ? "" : ", blocks left behind");
        return 1;
    }
    std::printf("routed %ld events of %ld bytes to %d subscribers%s\n", events, size, kPlugins,
                bare ? " through the bare queue" : "");
    return 0;
}
