// A whole core for in-process tests of what the core itself does: a
// hand-driven clock and captured log lines.
#pragma once

#include "core/dvrcore.h"
#include "support/test_bus.h"

class TestCore : public dvrcore {
public:
    TestCore() : dvrcore("/nonexistent/dvrcore") {}

    Clock::time_point Now() override { return clock.Now(); }
    void WriteLog(uint32_t providerID, uint32_t level, const char *text) override
    {
        output.WriteLog(providerID, level, text);
    }

    int post(_EventParmsIn in)
    {
        _EventParmsOut out{sizeof(_EventParmsOut), DVR_EVENT_PARMS_VERSION, 0};
        dvrcoreEventEntry(&in, &out);
        return out.result;
    }
    std::vector<LogLine> logLines() { return output.lines(); }

    using dvrcore::eventBus;
    using dvrcore::levels;
    using dvrcore::pluginHost;
    using dvrcore::reportLeaks;

    ManualClock clock;
    CapturedLog output;
};
