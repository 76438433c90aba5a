#include "recorder_load_plugin_file.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cstdlib>

#include "events/records.h"
#include "events/subscription.h"

namespace recorder_load {

namespace {

std::atomic<PluginFile *> activeFile{nullptr};

template <typename Record>
Record emptyRecord(uint32_t version = DVR_RECORD_VERSION)
{
    Record record{};
    record.size = sizeof record;
    record.version = version;
    return record;
}

}  // namespace

int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    if (!out)
        out = &ignored;
    PluginFile *file = activeFile.load();
    if (!in || !file) {
        out->result = DVR_RESULT_REFUSED;
    } else if (in->eventType == DVR_EVENT_RELEASE) {
        file->bus.release(in->data, in->providerID);
    } else if ((in->eventType & DVR_EVENT_LOG) && (in->flags & DVR_FLAG_LOG_QUERY)) {
        out->result = -1;
    } else if (in->eventType == DVR_EVENT_PARENT_PACKET || in->providerID == DVR_PROVIDER_TO_CORE) {
        if (in->eventType == DVR_EVENT_PARENT_PACKET)
            std::free(in->data);
        out->result = DVR_RESULT_REFUSED;
    } else {
        out->result = file->bus.post(*in);
        if (out->result == DVR_RESULT_OK) {
            file->acceptedLogPosts += (in->eventType & DVR_EVENT_LOG) != 0;
            file->acceptedPostsToItself += file->takes(in->eventType, in->flags);
        }
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
        error = path + ": " + (reason ? reason : "cannot be opened");
        return false;
    }
    auto entry = [this](const char *name) { return dlsym(library.get(), name); };
    const auto load = reinterpret_cast<DvrLoadFn>(entry("Load"));
    const auto open = reinterpret_cast<DvrOpenFn>(entry("Open"));
    const auto ioctl = reinterpret_cast<DvrIoctlFn>(entry("IOCTL"));
    unload = reinterpret_cast<DvrUnloadFn>(entry("Unload"));
    closeEntry = reinterpret_cast<DvrCloseFn>(entry("Close"));
    _LoadParmsIn in = emptyRecord<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.eventEntry = routeToTarget;
    loadOut = emptyRecord<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
    activeFile = this;
    if (!load || load(&in, &loadOut) != 0 || loadOut.error != 0) {
        error = fileName + (load ? ": Load refused" : ": no Load entry point");
        return false;
    }
    loaded = true;

    Subscriber subscriber;
    subscriber.pluginId = loadOut.pluginId;
    subscriber.Write = reinterpret_cast<DvrWriteFn>(entry("Write"));
    subscriber.IOCTL = ioctl;
    std::copy(std::begin(loadOut.subscribe), std::end(loadOut.subscribe), subscriber.subscribe);
    subscriber.writable = loadOut.writable != 0;
    subscriber.fileName = fileName;
    hasWrite = subscriber.Write != nullptr;
    plugins.addExternal(std::move(subscriber));

    if (loadOut.wantWorkerThread && ioctl)
        worker = std::thread([ioctl] {
            pthread_setname_np(pthread_self(), "plugin worker");
            const _IoctlParmsIn in = ioctlRecord(IOCTL_RUN_WORKER);
            _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_RUN_WORKER);
            ioctl(&in, &out);
        });
    if (open) {
        const _OpenParmsIn openIn = emptyRecord<_OpenParmsIn>();
        _OpenParmsOut openOut = emptyRecord<_OpenParmsOut>();
        open(&openIn, &openOut);
    }
    return true;
}

void PluginFile::close()
{
    if (loaded && !closed && closeEntry) {
        const _CloseParmsIn in = emptyRecord<_CloseParmsIn>();
        _CloseParmsOut out = emptyRecord<_CloseParmsOut>();
        closeEntry(&in, &out);
    }
    closed = true;
    if (worker.joinable())
        worker.join();
}

PluginFile::~PluginFile()
{
    close();
    if (loaded && unload) {
        const _UnloadParmsIn in = emptyRecord<_UnloadParmsIn>();
        _UnloadParmsOut out = emptyRecord<_UnloadParmsOut>();
        unload(&in, &out);
    }
    PluginFile *self = this;
    activeFile.compare_exchange_strong(self, nullptr);
}

bool PluginFile::takes(uint32_t eventType, uint32_t flags) const
{
    return hasWrite && loadOut.writable &&
           subscriptionMatches(loadOut.subscribe, eventType, DVR_MATCH_VALUE(flags));
}

}  // namespace recorder_load
