// Plugin loading, opening, closing and unloading.
//
// All four run on the thread that runs the start and stop sequence. Other
// threads read the plugin list while it may change (read requests posted from
// plugins' worker threads while later plugins load), so the list is changed
// only under pluginsMutex held exclusively, and no plugin is called with it
// held.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "core/dvrcore.h"
#include "plugins/discovery.h"
#include "plugins/plugin_threads.h"

namespace {

// The plugin whose library stays mapped after its Unload, until the process
// ends.
constexpr uint32_t kResidentPluginId = 0x00470000;

int64_t elapsedMs(dvrcore::Clock::time_point start, dvrcore::Clock::time_point end)
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

}  // namespace

bool dvrcore::loadPlugins()
{
    return loadPlugins(boost::filesystem::path(executablePath).parent_path());
}

bool dvrcore::loadPlugins(const boost::filesystem::path &executableDir)
{
    bool accepted = false;
    for (const boost::filesystem::path &file : discoverPlugins(executableDir))
        accepted = loadPlugin(file) || accepted;
    return accepted;
}

bool dvrcore::loadPlugin(const boost::filesystem::path &file)
{
    const std::string fileName = file.filename().string();

    dlerror();
    LibraryHandle library(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library.get()) {
        const char *reason = dlerror();
        const std::string text = reason ? reason : "unknown error";
        log(100, "Core: Failed to load plugin '%s': %s", fileName.c_str(), text.c_str());
        failedPlugins[fileName] = text;
        return false;
    }
    log(0, "Core: Loaded plugin: %s", fileName.c_str());

    PLUGININFO plugin;
    plugin.Load = entryPoint<DvrLoadFn>(library, "Load");
    plugin.Unload = entryPoint<DvrUnloadFn>(library, "Unload");
    plugin.Open = entryPoint<DvrOpenFn>(library, "Open");
    plugin.Close = entryPoint<DvrCloseFn>(library, "Close");
    plugin.Read = entryPoint<DvrReadFn>(library, "Read");
    plugin.Write = entryPoint<DvrWriteFn>(library, "Write");
    plugin.Seek = entryPoint<DvrSeekFn>(library, "Seek");
    plugin.IOCTL = entryPoint<DvrIoctlFn>(library, "IOCTL");
    if (!plugin.Load) {
        library.close();
        log(100, "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
        return false;
    }

    _LoadParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_LOAD_IN_VERSION;
    in.coreHandle = this;
    in.eventEntry = dvrcoreEventEntry;
    _LoadParmsOut out;
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = DVR_LOAD_OUT_VERSION;
    const Clock::time_point start = Now();
    const int result = plugin.Load(&in, &out);
    const Clock::time_point end = Now();

    if (result != 0 || out.error != 0) {
        library.close();
        log(100, "plugin %s load returned %d error %d", fileName.c_str(), result, out.error);
        return false;
    }
    const uint32_t id = out.pluginId;
    if (sourceNames.contains(id)) {
        library.close();
        log(50, "plugin %s ID 0x%08lX already loaded", fileName.c_str(), static_cast<unsigned long>(id));
        return false;
    }
    if (((id >> 16) & 0xF00) != 0) {
        library.close();
        log(100, "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
            fileName.c_str(), static_cast<unsigned long>(id));
        return false;
    }

    const uint32_t index = LogLevelTable::indexOf(id);
    const int32_t level = out.defaultLogLevel;
    if (index < static_cast<uint32_t>(LogLevelTable::kSize) && level >= -1 && level <= 100 &&
        level != 0) {
        defaultLogLevels.set(index, static_cast<int8_t>(level));
        if (logLevels.get(index) == LogLevelTable::kUnset)
            logLevels.set(index, static_cast<int8_t>(level));
    }
    sourceNames.set(id, sourceNameOf(file));

    plugin.library = std::move(library);
    plugin.loadOut = out;
    plugin.fileName = fileName;
    plugin.loadTimeMs = elapsedMs(start, end);
    // The worker runs from before Open; its thread body holds only the entry.
    if (out.wantWorkerThread && plugin.IOCTL && !ProvideWorkerThread(plugin))
        log(100, "could not start the worker thread of plugin %s", fileName.c_str());

    std::unique_lock<std::shared_mutex> lock(pluginsMutex);
    plugins.push_back(std::move(plugin));
    return true;
}

void dvrcore::openPlugins()
{
    for (PLUGININFO &plugin : plugins) {
        _OpenParmsIn in;
        std::memset(&in, 0, sizeof in);
        in.size = sizeof in;
        in.version = DVR_RECORD_VERSION;
        _OpenParmsOut out;
        std::memset(&out, 0, sizeof out);
        out.size = sizeof out;
        out.version = DVR_RECORD_VERSION;
        const Clock::time_point start = Now();
        const int result = plugin.Open ? plugin.Open(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
        const Clock::time_point end = Now();
        plugin.openCode = result;
        plugin.openTimeMs = elapsedMs(start, end);
    }
}

void dvrcore::startReaderThreads()
{
    for (PLUGININFO &plugin : plugins)
        if (plugin.loadOut.readable && plugin.Read && !StartAsyncReader(plugin))
            log(100, "could not start the reader thread of plugin %s", plugin.fileName.c_str());
}

void dvrcore::closePlugins()
{
    if (plugins.empty())
        return;
    {
        // Larger kind-0x20 words close first; equal words keep load order.
        std::unique_lock<std::shared_mutex> lock(pluginsMutex);
        std::stable_sort(plugins.begin(), plugins.end(), [](const PLUGININFO &a, const PLUGININFO &b) {
            return a.loadOut.subscribe[DVR_SUBSCRIBE_0x20] > b.loadOut.subscribe[DVR_SUBSCRIBE_0x20];
        });
    }
    for (PLUGININFO &plugin : plugins) {
        _CloseParmsIn in{sizeof(_CloseParmsIn), DVR_RECORD_VERSION, 0};
        _CloseParmsOut out{sizeof(_CloseParmsOut), DVR_RECORD_VERSION, 0};
        const int result = plugin.Close ? plugin.Close(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
        if (result != 0 || out.error != 0)
            log(0, "plugin %s close returned %d error %d", plugin.fileName.c_str(), result, out.error);
    }
}

void dvrcore::unloadPlugins()
{
    for (PLUGININFO &plugin : plugins) {
        if (plugin.readerThread.joinable())
            plugin.readerThread.join();
        if (plugin.workerThread.joinable())
            plugin.workerThread.join();
        // Read-request threads are detached: refuse new ones for this plugin
        // and wait for those still inside it before it is unloaded.
        readRequests.retire(plugin.pluginId());

        _UnloadParmsIn in{sizeof(_UnloadParmsIn), DVR_RECORD_VERSION};
        _UnloadParmsOut out{sizeof(_UnloadParmsOut), DVR_RECORD_VERSION, 0};
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
