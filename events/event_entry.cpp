// The event entry: the one door through which every event enters the core.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/dvrcore.h"
#include "events/subscription.h"
#include "log/logging.h"

namespace {

// Writes the producer's log text with the bounds the producer gave: the text
// ends at its first NUL or after `len` bytes, whichever comes first, and is
// cut to the 511 characters one log line holds.
template <typename Write>
void withLogText(const _EventParmsIn &in, Write write)
{
    if (!in.data)
        return;
    char text[kLogMessageSize];
    size_t n = in.len < sizeof text - 1 ? in.len : sizeof text - 1;
    std::memcpy(text, in.data, n);
    text[n] = '\0';
    write(text);
}

}  // namespace

int dvrcore::PluginEvent(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    if (!out)
        out = &ignored;
    if (!in) {
        out->result = DVR_RESULT_REFUSED;
        return 0;
    }

    const uint32_t type = in->eventType;
    if (type == DVR_EVENT_RELEASE) {
        releaseBlock(in->data, in->providerID);
        return 0;
    }
    if (type == DVR_EVENT_PARENT_PACKET) {
        // The buffer belongs to the core from here on, accepted or not.
        if (!parentConnected.load() || !in->data || in->len == 0) {
            std::free(in->data);
            out->result = DVR_RESULT_REFUSED;
            return 0;
        }
        queueParentPacket(in->data, in->len);
        out->result = DVR_RESULT_OK;
        return 0;
    }
    if (in->providerID == DVR_PROVIDER_TO_CORE) {
        serveCoreRequest(*in);
        queueCondition.notify_one();
        out->result = DVR_RESULT_OK;
        return 0;
    }

    _EventParmsIn record = *in;
    if (type & DVR_EVENT_LOG) {
        const int8_t threshold = logLevels.forProvider(record.providerID);
        if (record.flags & DVR_FLAG_LOG_MESSAGE) {
            if (threshold >= 0 && record.level < threshold)
                return 0;
            withLogText(record, [&](const char *text) {
                WriteLog(record.providerID, static_cast<uint32_t>(record.level), text);
            });
            if (threshold < 0 && record.level == 0)
                return 0;
        } else if (record.flags & DVR_FLAG_LOG_QUERY) {
            out->result = threshold;
            return 0;
        }
    }

    if (stopRequested.load()) {
        out->result = DVR_RESULT_REFUSED;
        return 0;
    }

    if ((type & (DVR_EVENT_VIDEO_FRAME | DVR_EVENT_AUDIO_FRAME)) &&
        (record.flags & DVR_FLAG_FLOW_CONTROL)) {
        int verdict = frameGate.admit(record.providerID, type, record.frameType,
                                      throttlingActive.load() != 0);
        if (verdict != DVR_RESULT_OK) {
            out->result = verdict;
            return 0;
        }
    }

    if (record.data && record.len) {
        void *copy = std::malloc(record.len);
        if (!copy) {
            out->result = DVR_RESULT_NO_MEMORY;
            return 0;
        }
        std::memcpy(copy, record.data, record.len);
        record.data = copy;
    } else {
        record.data = nullptr;
        record.len = 0;
    }

    if (record.requestKey &&
        readRequests.admitAnswer(record.requestKey, record.data) == ReadRequests::Answer::Refused) {
        std::free(record.data);
        out->result = DVR_RESULT_REFUSED;
        return 0;
    }

    if (!enqueue(record)) {
        if (record.data) {
            readRequests.blockReleased(record.data);
            std::free(record.data);
        }
        out->result = DVR_RESULT_REFUSED;
        return 0;
    }
    out->result = DVR_RESULT_OK;
    return 0;
}

bool dvrcore::enqueue(const _EventParmsIn &record)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (stopRequested.load())
            return false;
        eventQueue.push_back(record);
    }
    queueCondition.notify_one();
    return true;
}

void dvrcore::releaseBlock(void *data, uint32_t holder)
{
    if (!data || !refBlockTable.release(data, holder))
        return;
    // Wake a read thread waiting on this block before the address can be
    // handed out again by malloc.
    readRequests.blockReleased(data);
    std::free(data);
}

void dvrcore::serveCoreRequest(const _EventParmsIn &request)
{
    if (request.eventType == DVR_EVENT_CANCEL_REQUEST) {
        readRequests.cancel(request.requestKey);
        return;
    }
    readRequests.uncancel(request.requestKey);
    startReadThreads(request);
}

void dvrcore::startReadThreads(const _EventParmsIn &request)
{
    struct Target {
        DvrReadFn read;
        uint32_t pluginId;
    };
    std::vector<Target> targets;
    const uint32_t match = requestMatchValue(request.flags);
    {
        std::shared_lock<std::shared_mutex> lock(pluginsMutex);
        for (const PLUGININFO &plugin : plugins)
            if (plugin.loadOut.readable && plugin.Read &&
                subscriptionMatches(plugin.loadOut.subscribe, request.eventType, match))
                targets.push_back({plugin.Read, plugin.pluginId()});
    }

    for (const Target &target : targets) {
        if (!readRequests.beginThread(target.pluginId))
            continue;
        void *copy = nullptr;
        if (request.data && request.len) {
            copy = std::malloc(request.len);
            if (copy)
                std::memcpy(copy, request.data, request.len);
        }
        const uint32_t len = request.len;
        const uint32_t key = request.requestKey;
        try {
            std::thread([this, target, copy, len, key] {
                _ReadParmsIn in{};
                in.size = sizeof in;
                in.version = DVR_RECORD_VERSION;
                in.isRead = 1;
                in.len = len;
                in.data = copy;
                in.requestKey = key;
                _ReadParmsOut out{};
                out.size = sizeof out;
                out.version = DVR_RECORD_VERSION;
                readRequests.enterThread();
                target.read(&in, &out);
                readRequests.leaveThread(target.pluginId);
                std::free(copy);
            }).detach();
        } catch (const std::system_error &) {
            readRequests.abandonThread(target.pluginId);
            std::free(copy);
            log(50, "could not start a read thread for plugin ID 0x%08X", target.pluginId);
        }
    }
}
