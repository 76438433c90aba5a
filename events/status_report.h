// The once-a-minute report of the event bus, written by the delivery loop
// while events flow: queue length, frames dropped by throttling, events
// delivered, blocks held, and the holders that hold the most blocks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "events/frame_gate.h"
#include "events/refblock_table.h"
#include "events/time_source.h"
#include "plugin/dvrplugin.h"

// `value` in decimal, digits grouped by thousands under the "en_US.UTF-8"
// locale (1,234,567); plain digits when that locale is not installed.
std::string groupedNumber(uint32_t value);

// The five holders with the most blocks, most first, as "id:count" pairs
// (id in lower-case hex) joined by ", ". Among equal counts the holder
// visited first stays ahead.
std::string formatTopHolders(const std::unordered_map<uint32_t, uint32_t> &census);

class StatusReport {
public:
    static constexpr std::chrono::seconds kInterval{60};

    // The delivery loop starts: the first report is due a minute from now.
    void start(TimeSource::Clock::time_point now);
    // One more event taken from the queue.
    void countEvent() { ++eventsCounter; }
    bool due(TimeSource::Clock::time_point now) const { return now - lastReportTime >= kInterval; }

    // Logs the two report lines as the core through `entry` and starts the
    // next interval. `queueLeft`: records left when the current one was taken.
    // The throttled-frame counters are taken and reset in one step, so frames
    // dropped while the report is written are counted in the next one.
    void write(TimeSource::Clock::time_point now, size_t queueLeft, FrameGate &gate,
               const RefBlockTable &blocks, DvrEventEntry entry);

private:
    TimeSource::Clock::time_point lastReportTime{};
    uint32_t eventsCounter = 0;
};
