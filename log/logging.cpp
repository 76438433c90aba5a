#include "log/logging.h"

void logMessage(uint32_t providerID, DvrEventEntry entry, int32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlogMessage(providerID, entry, level, format, args);
    va_end(args);
}

void CoreLogger::operator()(int32_t level, const char *format, ...) const
{
    va_list args;
    va_start(args, format);
    vlogMessage(DVR_PROVIDER_CORE, entry, level, format, args);
    va_end(args);
}
