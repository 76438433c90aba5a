#include "log/console_log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "log/console.h"
#include "log/logging.h"

void ConsoleLog::WriteLog(uint32_t providerID, uint32_t level, const char *text)
{
    if (!text)
        return;
    static const bool terminal = isatty(fileno(stdout)) != 0;
    if (level == 100)
        syslog(LOG_CRIT, "%s", text);
    if (!terminal || backgroundMode.load())
        return;

    const time_t now = time(nullptr);
    struct tm parts {};
    gmtime_r(&now, &parts);
    char name[64];
    sourceNames.copyName(providerID, name, sizeof name);
    char line[kLogMessageSize + 64];
    const size_t length = formatConsoleLine(line, sizeof line, colourOutput.load() != 0, level,
                                            parts.tm_hour, parts.tm_min, parts.tm_sec, name, text);
    std::fwrite(line, 1, length, stdout);
}
