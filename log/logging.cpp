#include "log/logging.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int32_t queryLogLevel(uint32_t providerID, DvrEventEntry entry)
{
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.providerID = providerID;
    in.eventType = DVR_EVENT_LOG;
    in.flags = DVR_FLAG_LOG_QUERY;
    _EventParmsOut out = {sizeof out, DVR_EVENT_PARMS_VERSION, 0};
    entry(&in, &out);
    return out.result;
}

bool logLevelEnabled(uint32_t providerID, DvrEventEntry entry, int32_t level)
{
    int32_t threshold = queryLogLevel(providerID, entry);
    return threshold == -1 || level >= threshold;
}

void logMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlogMessage(providerID, entry, level, format, args);
    va_end(args);
}

void vlogMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format,
                 va_list args)
{
    if (!entry || !logLevelEnabled(providerID, entry, level))
        return;
    char text[kLogMessageSize];
    int written = std::vsnprintf(text, sizeof text, format, args);
    if (written <= 0)
        return;
    size_t stored = static_cast<size_t>(written) < sizeof text ? static_cast<size_t>(written)
                                                                : sizeof text - 1;

    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.len = static_cast<uint32_t>(stored + 1);
    in.data = text;
    in.providerID = providerID;
    in.eventType = DVR_EVENT_LOG;
    in.flags = DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE;
    in.level = level;
    _EventParmsOut out = {sizeof out, DVR_EVENT_PARMS_VERSION, 0};
    entry(&in, &out);
}
