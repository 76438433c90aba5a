#include "log/log_router.h"

#include <cstring>

#include "log/logging.h"

namespace {

// Writes the producer's text with the bounds the producer gave: the text ends
// at its first NUL or after `len` bytes, whichever comes first, and is cut to
// the 511 characters one log line holds.
void writeText(LogOutput &output, const _EventParmsIn &in)
{
    if (!in.data)
        return;
    char text[kLogMessageSize];
    const size_t n = in.len < sizeof text - 1 ? in.len : sizeof text - 1;
    std::memcpy(text, in.data, n);
    text[n] = '\0';
    output.WriteLog(in.providerID, static_cast<uint32_t>(in.level), text);
}

}  // namespace

bool LogRouter::route(const _EventParmsIn &in, _EventParmsOut &out)
{
    const int8_t threshold = logLevels.forProvider(in.providerID);
    if (in.flags & DVR_FLAG_LOG_MESSAGE) {
        if (threshold >= 0 && in.level < threshold)
            return false;
        writeText(output, in);
        return !(threshold < 0 && in.level == 0);
    }
    if (in.flags & DVR_FLAG_LOG_QUERY) {
        out.result = threshold;
        return false;
    }
    return true;
}
