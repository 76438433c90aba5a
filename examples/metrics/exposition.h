// The Prometheus text exposition format (version 0.0.4) of the plugin's
// counters: a snapshot taken on the plugin's own thread, then formatted.
#pragma once

#include <string>
#include <vector>

#include "counters.h"
#include "documents.h"
#include "process_stats.h"

namespace metrics {

// The Content-Type of the text.
constexpr const char *kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

struct Snapshot {
    std::vector<Series> events;  // provider, event type: events, bytes
    std::vector<Series> frames;  // provider: key frames, dependent frames
    std::vector<Series> logs;    // source, level: messages
    uint64_t droppedSeries = 0;

    int64_t throttling = Counters::kUnknown;
    int64_t throttlingTime = Counters::kUnknown;
    uint64_t memoryDocuments = 0;
    uint64_t configDocuments = 0;
    uint64_t configBytes = 0;

    uint64_t queueReports = 0;
    QueueReport queue;  // the throttled and event counts are totals

    bool haveStatus = false;
    StatusDocument status;
    bool haveProcess = false;
    ProcessStats process;
};

// Copies the counters (the status document and process readings are the
// caller's to add). The series come out sorted by their keys.
Snapshot takeSnapshot(const Counters &counters);

std::string formatExposition(const Snapshot &snapshot);

}  // namespace metrics
