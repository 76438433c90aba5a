// Producer-side logging: every log line is an event posted through an event
// entry, so the same functions serve the core and plugins written in C++.
// They are the plugin helpers' log calls under the core's own names, so the
// core and plugins speak one protocol.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "plugin/dvrplugin.h"
#include "plugin/dvrplugin_helpers.h"

// Size of the text buffer: at most 511 characters and the NUL.
constexpr int kLogMessageSize = DVR_LOG_MESSAGE_SIZE;

// Asks the entry for the source's threshold: -1 (unset) or 0..100.
inline int32_t queryLogLevel(uint32_t providerID, DvrEventEntry entry)
{
    return dvr_log_level(entry, providerID);
}

// True when a message of `level` from the source passes its threshold.
inline bool logLevelEnabled(uint32_t providerID, DvrEventEntry entry, int32_t level)
{
    return dvr_log_enabled(entry, providerID, level) != 0;
}

// Formats a message (printf-style) and posts it as a log event, after asking
// for the threshold so that a filtered message costs no formatting.
void logMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The same with a va_list.
inline void vlogMessage(uint32_t providerID, DvrEventEntry entry, int32_t level,
                        const char *format, va_list args) __attribute__((format(printf, 4, 0)));
inline void vlogMessage(uint32_t providerID, DvrEventEntry entry, int32_t level,
                        const char *format, va_list args)
{
    dvr_vlog(entry, providerID, level, format, args);
}

// Logs as the core (provider DVR_PROVIDER_CORE) through one entry; the
// components that log keep one of these.
class CoreLogger {
public:
    explicit CoreLogger(DvrEventEntry entry) : entry(entry) {}
    void operator()(int32_t level, const char *format, ...) const
        __attribute__((format(printf, 3, 4)));

private:
    DvrEventEntry entry;
};
