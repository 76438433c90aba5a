// The routing behind the event entry: every event a producer hands the core
// goes to the one component that serves it. Releases go to the bus, log
// events through the log router, ordinary events to the bus's queue; parent
// packets and requests addressed to the core go to the layer above the bus
// through `Upstream`. The core's entry and the test bus both route through
// this class, so the tests run the routing the core runs.
//
// Every event passes here, so the dispatch is inline and reaches the bus and
// the router by direct calls; only the two rare kinds cost a virtual call.
// Nothing is allocated.
#pragma once

#include <cstdint>

#include "events/event_bus.h"
#include "log/log_router.h"
#include "plugin/dvrplugin.h"

class EventEntry {
public:
    // What the layer above the bus serves.
    class Upstream {
    public:
        // A DVR_EVENT_PARENT_PACKET: `data` (from malloc, or null) belongs to
        // the handler from the call on and is freed whatever the outcome.
        // Returns the result word.
        virtual int32_t queueParentPacket(void *data, uint32_t len) = 0;
        // A request addressed to the core (provider 0).
        virtual void serveCoreRequest(const _EventParmsIn &request) = 0;

    protected:
        ~Upstream() = default;
    };

    EventEntry(EventBus &bus, LogRouter &logRouter, Upstream &upstream)
        : bus(bus), logRouter(logRouter), upstream(upstream) {}
    EventEntry(const EventEntry &) = delete;
    EventEntry &operator=(const EventEntry &) = delete;

    // Routes one event; the outcome is in out->result, which a release
    // leaves alone. A null `out` is allowed (the outcome is dropped); a null
    // `in` is refused. Any thread.
    void dispatch(const _EventParmsIn *in, _EventParmsOut *out)
    {
        _EventParmsOut ignored{};
        if (!out)
            out = &ignored;
        if (!in) {
            out->result = DVR_RESULT_REFUSED;
            return;
        }
        if (in->eventType == DVR_EVENT_RELEASE) {
            bus.release(in->data, in->providerID);
        } else if (in->eventType == DVR_EVENT_PARENT_PACKET) {
            out->result = upstream.queueParentPacket(in->data, in->len);
        } else if (in->providerID == DVR_PROVIDER_TO_CORE) {
            upstream.serveCoreRequest(*in);
            bus.wake();
            out->result = DVR_RESULT_OK;
        } else if (!(in->eventType & DVR_EVENT_LOG) || logRouter.route(*in, *out)) {
            out->result = bus.post(*in);
        }
    }

private:
    EventBus &bus;
    LogRouter &logRouter;
    Upstream &upstream;
};
