// The log output of the process: console lines when standard output is a
// terminal, and the system log for level-100 messages.
#pragma once

#include <atomic>
#include <cstdint>

#include "log/log_output.h"
#include "log/source_names.h"

class ConsoleLog : public LogOutput {
public:
    explicit ConsoleLog(const SourceNames &sourceNames) : sourceNames(sourceNames) {}

    // Level 100 goes to syslog at LOG_CRIT; every line goes to the console
    // as "HH:MM:SS source text" (UTC) unless standard output is no terminal
    // or background mode is on.
    void WriteLog(uint32_t providerID, uint32_t level, const char *text) override;
    // Background mode (from the parent's settings) turns the console off.
    void setBackgroundMode(bool on) { backgroundMode = on ? 1 : 0; }

private:
    const SourceNames &sourceNames;
    std::atomic<uint8_t> colourOutput{1};
    std::atomic<uint8_t> backgroundMode{0};  // suppresses the console; syslog stays
};
