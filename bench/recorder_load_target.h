// What the recorder load drives: the event bus itself, or a reference that
// does the same work the plainest way (the data copied into a malloc block,
// a mutex, a condition variable and a deque of records, one record taken at
// a time, the same subscription match and Write calls, a count of the
// plugins that keep a block). Run under the same load in the same run, the
// reference shows what this machine allows any queue of threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "events/event_bus.h"
#include "events/subscription.h"

namespace recorder_load {

class LoadTarget {
public:
    virtual ~LoadTarget() = default;
    virtual const char *name() const = 0;
    virtual void addSubscriber(Subscriber subscriber) = 0;
    virtual int32_t post(const _EventParmsIn &in) = 0;
    virtual void release(void *data, uint32_t holder) = 0;
    virtual void runDeliveryLoop() = 0;
    virtual void requestStop() = 0;
    // Nothing queued and no block held.
    virtual bool drained() = 0;
};

// "dvrcore" (the event bus) or "bare queue" (the reference).
std::unique_ptr<LoadTarget> makeLoadTarget(bool reference);

}  // namespace recorder_load
