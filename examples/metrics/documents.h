// What the metrics plugin reads out of the core's messages: the memory-state
// document, the periodic queue report (a log line of the core's), and the
// status document every plugin receives as a configuration document.
//
// The first two are read on the delivery thread inside Write, so they only
// scan the bytes they are given: no allocation, no copy, never past `len`
// (the core's blocks are not NUL-terminated). The status document is read on
// the plugin's own thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "counters.h"

namespace metrics {

// The Throttling and Time attributes of <Qarn><Memory .../></Qarn>.
struct MemoryState {
    int64_t throttling = 0;
    int64_t time = 0;
};
// False when the text is not a memory-state document with both attributes.
bool parseMemoryState(std::string_view text, MemoryState &state);

// "core event queue size: N, throttledframes:[v:N a:N], events:N, refblks: N
// (N bytes)", numbers grouped by thousands with commas or not at all. False
// for any other text.
bool parseQueueReport(std::string_view text, QueueReport &report);

// A plugin as the status document lists it.
struct PluginEntry {
    int64_t id = 0;
    std::string file;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;
    int64_t openCode = 0;
    int64_t logLevel = -1;
};

// A plugin file the core could not load, with the reason it gave.
struct FailedEntry {
    std::string file;
    std::string error;
};

struct StatusDocument {
    std::string coreVersion;       // Product Version (or the core's Module)
    std::string product;           // Product Family
    int64_t throttlingEnabled = -1;  // Memory Throttling: the switch in core.xml
    std::vector<PluginEntry> plugins;  // in load order, without the core
    std::vector<FailedEntry> failed;
    std::string parentFile;
    std::string parentVersion;
};

// Reads the core's status document. False (and `status` untouched) for
// anything else: malformed text, or a document another plugin sent, which
// carries a non-zero Delta or no core module.
bool parseStatusDocument(std::string_view text, StatusDocument &status);

}  // namespace metrics
