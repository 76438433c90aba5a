// The standard process metrics of the process the plugin lives in (the
// core's), read from /proc when a scrape asks for them.
#pragma once

#include <cstdint>

namespace metrics {

struct ProcessStats {
    double cpuSeconds = 0;        // user and system time
    double startTimeSeconds = 0;  // since the epoch
    uint64_t residentBytes = 0;
    uint64_t virtualBytes = 0;
    uint64_t openFds = 0;
    uint64_t maxFds = 0;
};

// False when /proc/self/stat cannot be read; the other readings are then 0.
bool readProcessStats(ProcessStats &stats);

}  // namespace metrics
