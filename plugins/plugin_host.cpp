#include "plugins/plugin_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "events/records.h"
#include "events/subscription.h"
#include "log/logging.h"
#include "log/provider_id.h"
#include "plugins/discovery.h"
#include "plugins/plugin_threads.h"

namespace {

// The plugin whose library stays mapped after its Unload, until the process
// ends.
constexpr uint32_t kResidentPluginId = 0x00470000;

int64_t elapsedMs(TimeSource::Clock::time_point start, TimeSource::Clock::time_point end)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 1000000;
}

// The file's stem (name without its last extension) with ASCII letters lowered.
std::string sourceNameOf(const boost::filesystem::path &file)
{
    std::string name = file.stem().string();
    for (char &c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

template <typename Fn>
Fn entryPoint(const LibraryHandle &library, const char *name)
{
    return reinterpret_cast<Fn>(library.symbol(name));
}

void resolveEntryPoints(PLUGININFO &plugin)
{
    const LibraryHandle &library = plugin.library;
    plugin.Load = entryPoint<DvrLoadFn>(library, "Load");
    plugin.Unload = entryPoint<DvrUnloadFn>(library, "Unload");
    plugin.Open = entryPoint<DvrOpenFn>(library, "Open");
    plugin.Close = entryPoint<DvrCloseFn>(library, "Close");
    plugin.Read = entryPoint<DvrReadFn>(library, "Read");
    plugin.Write = entryPoint<DvrWriteFn>(library, "Write");
    plugin.Seek = entryPoint<DvrSeekFn>(library, "Seek");
    plugin.IOCTL = entryPoint<DvrIoctlFn>(library, "IOCTL");
}

// Load's records: the core's entry and handle in, zeros out.
_LoadParmsIn loadRecord(DvrEventEntry entry, void *coreHandle)
{
    _LoadParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_LOAD_IN_VERSION;
    in.coreHandle = coreHandle;
    in.eventEntry = entry;
    return in;
}

}  // namespace

PluginHost::PluginHost(EventBus &bus, LogTables logs, TimeSource &clock, DvrEventEntry entry,
                       void *coreHandle)
    : bus(bus), logs(logs), clock(clock), entry(entry), coreHandle(coreHandle)
{
}

PluginHost::~PluginHost()
{
    if (!plugins.empty())
        unloadPlugins();
}

bool PluginHost::loadPlugins(const boost::filesystem::path &executableDir)
{
    bool accepted = false;
    for (const boost::filesystem::path &file : discoverPlugins(executableDir))
        accepted = loadPlugin(file) || accepted;
    return accepted;
}

bool PluginHost::loadPlugin(const boost::filesystem::path &file)
{
    const std::string fileName = file.filename().string();
    PLUGININFO plugin;
    dlerror();
    plugin.library = LibraryHandle(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!plugin.library.get()) {
        const char *reason = dlerror();
        const std::string text = reason ? reason : "unknown error";
        log(100, "Core: Failed to load plugin '%s': %s", fileName.c_str(), text.c_str());
        failedPlugins[fileName] = text;
        return false;
    }
    log(0, "Core: Loaded plugin: %s", fileName.c_str());

    resolveEntryPoints(plugin);
    if (!plugin.Load) {
        log(100, "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
        return false;
    }

    const _LoadParmsIn in = loadRecord(entry, coreHandle);
    _LoadParmsOut out = emptyRecord<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
    const auto start = clock.Now();
    const int result = plugin.Load(&in, &out);
    plugin.loadTimeMs = elapsedMs(start, clock.Now());
    if (result != 0 || out.error != 0) {
        log(100, "plugin %s load returned %d error %d", fileName.c_str(), result, out.error);
        return false;
    }
    return acceptLoaded(file, plugin, out);
}

// The checks after a successful Load; a refused plugin's library is closed
// (by its record) without Unload.
bool PluginHost::acceptLoaded(const boost::filesystem::path &file, PLUGININFO &plugin,
                              const _LoadParmsOut &out)
{
    const std::string fileName = file.filename().string();
    const uint32_t id = out.pluginId;
    if (logs.sourceNames.contains(id)) {
        log(50, "plugin %s ID 0x%08lX already loaded", fileName.c_str(),
            static_cast<unsigned long>(id));
        return false;
    }
    if (providerIndexTooLarge(id)) {
        log(100, "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
            fileName.c_str(), static_cast<unsigned long>(id));
        return false;
    }

    // 0 asks for nothing; -1..100 become the default and, unless a threshold
    // is already set, the threshold.
    const uint32_t index = LogLevelTable::indexOf(id);
    const int32_t level = out.defaultLogLevel;
    if (level >= -1 && level <= 100 && level != 0) {
        logs.defaultLogLevels.set(index, static_cast<int8_t>(level));
        if (logs.logLevels.get(index) == LogLevelTable::kUnset)
            logs.logLevels.set(index, static_cast<int8_t>(level));
    }
    logs.sourceNames.set(id, sourceNameOf(file));

    plugin.loadOut = out;
    plugin.fileName = fileName;
    // The worker runs from before Open; its thread body holds only the entry.
    if (out.wantWorkerThread && plugin.IOCTL && !ProvideWorkerThread(plugin))
        log(100, "could not start the worker thread of plugin %s", fileName.c_str());
    adopt(std::move(plugin));
    return true;
}

PLUGININFO &PluginHost::adopt(PLUGININFO plugin)
{
    bus.addSubscriber(subscriberFrom(plugin.loadOut, plugin.Write, plugin.IOCTL, plugin.fileName));
    std::unique_lock<std::shared_mutex> lock(pluginsMutex);
    plugins.push_back(std::move(plugin));
    return plugins.back();
}

void PluginHost::openPlugins()
{
    for (PLUGININFO &plugin : plugins) {
        const _OpenParmsIn in = emptyRecord<_OpenParmsIn>();
        _OpenParmsOut out = emptyRecord<_OpenParmsOut>();
        const auto start = clock.Now();
        plugin.openCode = plugin.Open ? plugin.Open(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
        plugin.openTimeMs = elapsedMs(start, clock.Now());
    }
}

void PluginHost::startReaderThreads()
{
    for (PLUGININFO &plugin : plugins)
        if (plugin.loadOut.readable && plugin.Read && !StartAsyncReader(plugin))
            log(100, "could not start the reader thread of plugin %s", plugin.fileName.c_str());
}

void PluginHost::closePlugins()
{
    if (plugins.empty())
        return;
    {
        std::unique_lock<std::shared_mutex> lock(pluginsMutex);
        std::stable_sort(plugins.begin(), plugins.end(), [](const PLUGININFO &a, const PLUGININFO &b) {
            return a.loadOut.subscribe[DVR_SUBSCRIBE_0x20] > b.loadOut.subscribe[DVR_SUBSCRIBE_0x20];
        });
    }
    for (PLUGININFO &plugin : plugins) {
        const _CloseParmsIn in = emptyRecord<_CloseParmsIn>();
        _CloseParmsOut out = emptyRecord<_CloseParmsOut>();
        const int result = plugin.Close ? plugin.Close(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
        if (result != 0 || out.error != 0)
            log(0, "plugin %s close returned %d error %d", plugin.fileName.c_str(), result, out.error);
    }
}

void PluginHost::unloadPlugins()
{
    // The delivery loop has ended: nothing is delivered to plugins any more.
    bus.clearSubscribers();
    for (PLUGININFO &plugin : plugins) {
        if (plugin.readerThread.joinable())
            plugin.readerThread.join();
        if (plugin.workerThread.joinable())
            plugin.workerThread.join();
        // Read-request threads are detached: refuse new ones for this plugin
        // and wait for those still inside it before it is unloaded.
        bus.readRequests().retire(plugin.pluginId());

        const _UnloadParmsIn in = emptyRecord<_UnloadParmsIn>();
        _UnloadParmsOut out = emptyRecord<_UnloadParmsOut>();
        const int result = plugin.Unload ? plugin.Unload(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
        if (result != 0 || out.error != 0)
            log(0, "plugin %s unload returned %d error %d", plugin.fileName.c_str(), result, out.error);

        if (plugin.pluginId() == kResidentPluginId)
            plugin.library.leaveMapped();
        else
            plugin.library.close();
    }
    std::unique_lock<std::shared_mutex> lock(pluginsMutex);
    plugins.clear();
}

void PluginHost::serveCoreRequest(const _EventParmsIn &request)
{
    if (request.eventType == DVR_EVENT_CANCEL_REQUEST) {
        bus.readRequests().cancel(request.requestKey);
        return;
    }
    bus.readRequests().uncancel(request.requestKey);
    startReadThreads(request);
}

void PluginHost::deliverParentPacket(uint32_t target, uint8_t *packet, uint32_t length)
{
    target = DVR_IPC_TARGET_BITS(target);
    DvrIoctlFn ioctl = nullptr;
    std::string fileName;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsMutex);
        const auto plugin = std::find_if(plugins.begin(), plugins.end(), [&](const PLUGININFO &p) {
            return DVR_IPC_TARGET(p.pluginId()) == target;
        });
        if (plugin == plugins.end())
            return;
        ioctl = plugin->IOCTL;
        fileName = plugin->fileName;
    }
    const _IoctlParmsIn in = ioctlRecord(IOCTL_IPC, length, packet);
    _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_IPC);
    const int result = ioctl ? ioctl(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    if (result != 0 || out.error != 0)
        log(0, "plugin %s ipc ioctl returned %d error %d", fileName.c_str(), result, out.error);
}

void PluginHost::startReadThreads(const _EventParmsIn &request)
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
    for (const Target &target : targets)
        if (startReadThread(target.read, target.pluginId, request, bus.readRequests()) ==
            ReadThreadStart::Refused)
            log(50, "could not start a read thread for plugin ID 0x%08X", target.pluginId);
}
