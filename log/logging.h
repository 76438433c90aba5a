// Producer-side logging: every log line is an event posted through an event
// entry, so the same functions serve the core and plugins written in C++.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "plugin/dvrplugin.h"

// Size of the text buffer: at most 511 characters and the NUL.
constexpr int kLogMessageSize = 512;

// Asks the entry for the source's threshold: -1 (unset) or 0..100.
int32_t queryLogLevel(uint32_t providerID, DvrEventEntry entry);

// True when a message of `level` from the source passes its threshold.
bool logLevelEnabled(uint32_t providerID, DvrEventEntry entry, int32_t level);

// Formats a message (printf-style) and posts it as a log event, after asking
// for the threshold so that a filtered message costs no formatting.
void logMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The same with a va_list.
void vlogMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format,
                 va_list args) __attribute__((format(printf, 4, 0)));
