// A real plugin in the recorder-load benchmark (--plugin FILE.so), run as the
// core runs one in the essentials: dlopen, its entry points looked up, Load
// with an event entry that posts to the run's target (and releases through
// it), subscribed after the four in-process plugins, its worker on a thread
// of its own if it asks for one, Open; at the end Close, the worker joined,
// Unload, dlclose. The entry answers log-level queries itself with "no
// threshold" (the target filters no level) and refuses what only the core
// serves: parent packets and requests addressed to the core.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "recorder_load_plugins.h"

namespace recorder_load {

class PluginFile {
public:
    explicit PluginFile(LoadTarget &bus) : bus(bus) {}
    ~PluginFile();  // close() if not yet called, then Unload and dlclose
    PluginFile(const PluginFile &) = delete;
    PluginFile &operator=(const PluginFile &) = delete;

    // False, with the reason in `error`, when the plugin cannot be loaded.
    bool open(const std::string &path, LoadPlugins &plugins, std::string &error);
    void close();  // Close, then joins the worker: once no more events are posted

    const std::string &name() const { return fileName; }
    // Whether an event of this type with these flags reaches its Write.
    bool takes(uint32_t eventType, uint32_t flags) const;
    // Its own accepted posts: log events, and those that reach its Write.
    std::atomic<uint64_t> logPosts{0}, postsToItself{0};

private:
    friend int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out);
    struct CloseLibrary {
        void operator()(void *handle) const;
    };

    LoadTarget &bus;
    std::unique_ptr<void, CloseLibrary> library;
    std::string fileName;
    DvrCloseFn closeEntry = nullptr;
    DvrUnloadFn unloadEntry = nullptr;
    _LoadParmsOut loadOut{};
    bool hasWrite = false;
    std::thread worker;
};

}  // namespace recorder_load
