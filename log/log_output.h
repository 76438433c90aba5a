// Where log lines that pass their source's threshold are written.
#pragma once

#include <cstdint>

class LogOutput {
public:
    virtual ~LogOutput() = default;
    // Writes one line of `level` from `providerID`. Called with no lock held,
    // on whatever thread posted the message.
    virtual void WriteLog(uint32_t providerID, uint32_t level, const char *text) = 0;
};
