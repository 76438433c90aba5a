// What the benchmarks share: an event entry that drops what the components
// log (they log only on failure; a missing result shows it), and the steady
// clock as a TimeSource.
#pragma once

#include "events/time_source.h"
#include "plugin/dvrplugin.h"

inline int noEntry(const _EventParmsIn *, _EventParmsOut *)
{
    return 0;
}

class SystemClock : public TimeSource {
public:
    Clock::time_point Now() override { return Clock::now(); }
};
