#include "plugins/plugin_threads.h"

#include <cstring>
#include <system_error>
#include <thread>

namespace {

// The bodies get only the entry point, never the record: the record moves
// while the list grows and when it is sorted for closing.

void runWorker(DvrIoctlFn ioctl)
{
    _IoctlParmsIn in{sizeof(_IoctlParmsIn), DVR_RECORD_VERSION, IOCTL_RUN_WORKER, 8, 1, 0, nullptr};
    _IoctlParmsOut out{sizeof(_IoctlParmsOut), DVR_RECORD_VERSION, IOCTL_RUN_WORKER, 0, 0, 8, 1};
    ioctl(&in, &out);
}

void runReader(DvrReadFn read)
{
    // A read with no request: no data, request key 0.
    _ReadParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_RECORD_VERSION;
    in.isRead = 1;
    _ReadParmsOut out;
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = DVR_RECORD_VERSION;
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

}  // namespace

bool ProvideWorkerThread(PLUGININFO &plugin)
{
    return startThread(plugin.workerThread, runWorker, plugin.IOCTL);
}

bool StartAsyncReader(PLUGININFO &plugin)
{
    return startThread(plugin.readerThread, runReader, plugin.Read);
}
