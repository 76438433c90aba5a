// Log events at the event entry: threshold queries are answered, messages are
// filtered by their source's threshold and written to the log output, and
// what passes goes on to the queue so that log subscribers see it.
#pragma once

#include "log/log_levels.h"
#include "log/log_output.h"
#include "plugin/dvrplugin.h"

class LogRouter {
public:
    LogRouter(const LogLevelTable &logLevels, LogOutput &output)
        : logLevels(logLevels), output(output) {}

    // For an event whose type has the log bit. True when the event goes on
    // to the queue like any other; false when it was answered (a query, with
    // the threshold in out.result) or dropped here.
    //
    // With a threshold set, messages below it are dropped unseen and the
    // rest are written and queued. With no threshold (-1) every message is
    // written, and all but level 0 are queued.
    bool route(const _EventParmsIn &in, _EventParmsOut &out);

private:
    const LogLevelTable &logLevels;
    LogOutput &output;
};
