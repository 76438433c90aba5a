// route_events: the work of routing events, on one thread, for counting
// instructions (bench/callgrind.sh runs it under callgrind).
//
// It builds an event bus with three subscribers, as the event bus benchmark
// does, posts N events of B bytes (64 unless given) from the main thread,
// then asks for the stop and runs the delivery loop on the same thread, which
// delivers every queued event to the three subscribers and returns. Nothing
// waits and no second thread runs, so the instruction count depends only on
// N: the difference between runs with N and 2N events, divided by N, is the
// cost of one event from the entry to its last delivery.
//
// Usage: route_events N [B]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "subscribed_bus.h"

namespace {

constexpr int kPlugins = 3;
uint64_t writes = 0;
volatile uint8_t lastByte = 0;

int countingWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    // Touches the block, as a subscriber would.
    if (in->data)
        lastByte = static_cast<const uint8_t *>(in->data)[0];
    ++writes;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: %s EVENTS [BYTES]\n", argv[0]);
        return 2;
    }
    const long events = std::atol(argv[1]);
    const long size = argc == 3 ? std::atol(argv[2]) : 64;
    if (events <= 0 || size < 0 || size > (1 << 20)) {
        std::fprintf(stderr, "route_events: EVENTS must be positive, BYTES 0..1048576\n");
        return 2;
    }
    std::vector<uint8_t> payload(size ? size : 1, 0x5A);

    SubscribedBus route(kPlugins, countingWrite);
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.providerID = 0x00200000u;
    in.eventType = DVR_EVENT_KIND_0x8;
    in.data = size ? payload.data() : nullptr;
    in.len = static_cast<uint32_t>(size);
    for (long i = 0; i < events; ++i) {
        if (route.bus.post(in) != DVR_RESULT_OK) {
            std::fprintf(stderr, "route_events: event %ld refused\n", i);
            return 1;
        }
    }
    route.bus.requestStop();
    route.bus.runDeliveryLoop();

    if (writes != static_cast<uint64_t>(events) * kPlugins) {
        std::fprintf(stderr, "route_events: %llu deliveries, expected %llu\n",
                     static_cast<unsigned long long>(writes),
                     static_cast<unsigned long long>(events) * kPlugins);
        return 1;
    }
    std::printf("routed %ld events of %ld bytes to %d subscribers\n", events, size, kPlugins);
    return 0;
}
