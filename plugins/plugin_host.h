// The plugin host: finds, loads, opens, closes and unloads the plugins, runs
// their threads, and keeps the table of loaded plugins.
//
// Load, open, close and unload run on the thread that runs the start and stop
// sequence. Other threads read the table while it may change (read requests
// posted from plugins' worker threads while later plugins load), so it changes
// only under pluginsMutex held exclusively, and no plugin is called with the
// lock held.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>
#include <vector>

#include "events/event_bus.h"
#include "events/time_source.h"
#include "log/log_levels.h"
#include "log/logging.h"
#include "log/source_names.h"
#include "plugins/plugin_info.h"

class PluginHost {
public:
    // What loading a plugin sets up for logging: its default threshold, its
    // threshold (unless already set) and its source name.
    struct LogTables {
        LogLevelTable &logLevels;
        LogLevelTable &defaultLogLevels;
        SourceNames &sourceNames;
    };

    // Plugins are handed `entry` and `coreHandle` at load, and the host logs
    // through `entry` as the core. Accepted plugins are routed to `bus`.
    PluginHost(EventBus &bus, LogTables logs, TimeSource &clock, DvrEventEntry entry,
               void *coreHandle);
    // Unloads whatever is still loaded (a sequence that never ran to the end).
    ~PluginHost();
    PluginHost(const PluginHost &) = delete;
    PluginHost &operator=(const PluginHost &) = delete;

    // Loads every plugin found beside an executable in `executableDir`, in
    // load order. True when at least one was accepted.
    bool loadPlugins(const boost::filesystem::path &executableDir);
    // Loads one plugin file; true when the plugin was accepted.
    bool loadPlugin(const boost::filesystem::path &file);
    // Takes an accepted plugin into the table and routes events to it.
    PLUGININFO &adopt(PLUGININFO plugin);

    void openPlugins();
    void startReaderThreads();
    // Calls Close in close order: larger kind-0x20 subscription words first,
    // equal words in load order.
    void closePlugins();
    // Joins each plugin's threads, waits for its read-request threads, calls
    // Unload and closes its library; empties the table.
    void unloadPlugins();

    // A request addressed to the core (provider 0): a cancellation, or a read
    // request that starts a read thread in every matching readable plugin.
    void serveCoreRequest(const _EventParmsIn &request);

    // A packet from the parent (header first, `length` bytes, valid during
    // the call): to the IOCTL (code IOCTL_IPC) of the first plugin whose ID
    // matches the header's `target`; dropped when none does.
    void deliverParentPacket(uint32_t target, uint8_t *packet, uint32_t length);

    // The table, in load order (close order once closing has begun). For the
    // thread that runs the sequence, and for tests.
    const std::vector<PLUGININFO> &list() const { return plugins; }
    // Files that could not be loaded, with the loader's reason.
    const std::map<std::string, std::string> &failed() const { return failedPlugins; }

private:
    bool acceptLoaded(const boost::filesystem::path &file, PLUGININFO &plugin,
                      const _LoadParmsOut &out);
    void startReadThreads(const _EventParmsIn &request);

    EventBus &bus;
    LogTables logs;
    TimeSource &clock;
    const DvrEventEntry entry;
    const CoreLogger log{entry};
    void *const coreHandle;

    std::vector<PLUGININFO> plugins;
    mutable std::shared_mutex pluginsMutex;
    std::map<std::string, std::string> failedPlugins;
};
