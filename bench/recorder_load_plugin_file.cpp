#include "recorder_load_plugin_file.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cstdlib>
#include <utility>

#include "events/records.h"

namespace recorder_load {

namespace {

std::atomic<PluginFile *> activeFile{nullptr};

// Calls an entry point that takes a record in and one out, both empty but
// for their size and version; a missing entry point counts as not exported.
template <typename In, typename Out>
int callEntry(int (*entry)(const In *, Out *))
{
    const In in = emptyRecord<In>();
    Out out = emptyRecord<Out>();
    return entry ? entry(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
}

}  // namespace

int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    out = out ? out : &ignored;
    PluginFile *file = activeFile.load();
    if (!in || !file || in->eventType == DVR_EVENT_PARENT_PACKET ||
        in->providerID == DVR_PROVIDER_TO_CORE) {
        if (in && in->eventType == DVR_EVENT_PARENT_PACKET)
            std::free(in->data);
        out->result = DVR_RESULT_REFUSED;
    } else if (in->eventType == DVR_EVENT_RELEASE) {
        file->bus.release(in->data, in->providerID);
    } else if ((in->eventType & DVR_EVENT_LOG) && (in->flags & DVR_FLAG_LOG_QUERY)) {
        out->result = -1;
    } else if ((out->result = file->bus.post(*in)) == DVR_RESULT_OK) {
        file->logPosts += (in->eventType & DVR_EVENT_LOG) != 0;
        file->postsToItself += file->takes(in->eventType, in->flags);
    }
    return 0;
}

void PluginFile::CloseLibrary::operator()(void *handle) const
{
    dlclose(handle);
}

bool PluginFile::open(const std::string &path, LoadPlugins &plugins, std::string &error)
{
    fileName = path.substr(path.find_last_of('/') + 1);
    library.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char *reason = dlerror();
        error = reason ? reason : path + ": cannot be opened";
        return false;
    }
    auto entry = [this](const char *name) { return dlsym(library.get(), name); };
    const auto load = reinterpret_cast<DvrLoadFn>(entry("Load"));
    const auto ioctl = reinterpret_cast<DvrIoctlFn>(entry("IOCTL"));
    _LoadParmsIn in = emptyRecord<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.eventEntry = routeToTarget;
    loadOut = emptyRecord<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
    activeFile = this;
    if (!load || load(&in, &loadOut) != 0 || loadOut.error != 0) {
        error = fileName + ": not loaded (no Load entry point, or Load refused)";
        return false;
    }
    closeEntry = reinterpret_cast<DvrCloseFn>(entry("Close"));
    unloadEntry = reinterpret_cast<DvrUnloadFn>(entry("Unload"));

    const auto write = reinterpret_cast<DvrWriteFn>(entry("Write"));
    hasWrite = write != nullptr;
    plugins.addExternal(subscriberFrom(loadOut, write, ioctl, fileName));

    if (loadOut.wantWorkerThread && ioctl)
        worker = std::thread([ioctl] {
            pthread_setname_np(pthread_self(), "plugin worker");
            const _IoctlParmsIn in = ioctlRecord(IOCTL_RUN_WORKER);
            _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_RUN_WORKER);
            ioctl(&in, &out);
        });
    callEntry(reinterpret_cast<DvrOpenFn>(entry("Open")));
    return true;
}

void PluginFile::close()
{
    callEntry(std::exchange(closeEntry, nullptr));
    if (worker.joinable())
        worker.join();
}

PluginFile::~PluginFile()
{
    close();
    callEntry(unloadEntry);
    PluginFile *self = this;
    activeFile.compare_exchange_strong(self, nullptr);
}

bool PluginFile::takes(uint32_t eventType, uint32_t flags) const
{
    return hasWrite && loadOut.writable &&
           subscriptionMatches(loadOut.subscribe, eventType, DVR_MATCH_VALUE(flags));
}

}  // namespace recorder_load
