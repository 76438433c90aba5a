#include "plugins/plugin_threads.h"

#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "events/records.h"

namespace {

// The bodies get only the entry point, never the record: the record moves
// while the list grows and when it is sorted for closing.

void runWorker(DvrIoctlFn ioctl)
{
    const _IoctlParmsIn in = ioctlRecord(IOCTL_RUN_WORKER);
    _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_RUN_WORKER);
    ioctl(&in, &out);
}

void runReader(DvrReadFn read)
{
    const _ReadParmsIn in = readRecord(0, nullptr, 0);
    _ReadParmsOut out = readAnswerPreset();
    read(&in, &out);
}

template <typename Entry>
bool startThread(std::thread &slot, void (*body)(Entry), Entry entry)
{
    if (!entry)
        return false;
    try {
        slot = std::thread(body, entry);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

// The read thread's own copy of the request data; null without data or memory.
void *copyRequestData(const _EventParmsIn &request)
{
    if (!request.data || !request.len)
        return nullptr;
    void *copy = std::malloc(request.len);
    if (copy)
        std::memcpy(copy, request.data, request.len);
    return copy;
}

}  // namespace

bool ProvideWorkerThread(PLUGININFO &plugin)
{
    return startThread(plugin.workerThread, runWorker, plugin.IOCTL);
}

bool StartAsyncReader(PLUGININFO &plugin)
{
    return startThread(plugin.readerThread, runReader, plugin.Read);
}

ReadThreadStart startReadThread(DvrReadFn read, uint32_t pluginId, const _EventParmsIn &request,
                                ReadRequests &requests)
{
    if (!requests.beginThread(pluginId))
        return ReadThreadStart::Retired;
    void *copy = copyRequestData(request);
    const uint32_t len = request.len;
    const uint32_t key = request.requestKey;
    try {
        std::thread([read, pluginId, copy, len, key, &requests] {
            const _ReadParmsIn in = readRecord(len, copy, key);
            _ReadParmsOut out = readAnswerPreset();
            requests.enterThread();
            read(&in, &out);
            requests.leaveThread(pluginId);
            std::free(copy);
        }).detach();
    } catch (const std::system_error &) {
        requests.abandonThread(pluginId);
        std::free(copy);
        return ReadThreadStart::Refused;
    }
    return ReadThreadStart::Started;
}
