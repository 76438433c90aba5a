// A real plugin in the recorder-load benchmark (--plugin FILE.so), loaded
// the way the core loads one in the essentials: the library opened, its
// entry points looked up, Load called with an event entry that posts to the
// run's target (and releases through it), the plugin subscribed after the
// four in-process ones, its worker run on a thread of its own when it asks
// for one, and Open called; at the end Close, the worker joined, Unload, and
// the library closed. The entry answers a log-level query itself with "no
// threshold", since the target does not filter by level, and refuses what
// only the core serves (parent packets, requests addressed to the core).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "recorder_load_plugins.h"
#include "recorder_load_target.h"

namespace recorder_load {

class PluginFile {
public:
    explicit PluginFile(LoadTarget &bus) : bus(bus) {}
    ~PluginFile();  // closes the plugin if close() was not called, unloads it
    PluginFile(const PluginFile &) = delete;
    PluginFile &operator=(const PluginFile &) = delete;

    // Loads and opens the plugin at `path` and subscribes it to `plugins`'
    // target; false with the reason in `error` when it cannot be loaded.
    bool open(const std::string &path, LoadPlugins &plugins, std::string &error);
    // Close, then waits for the worker. Call once no more events are posted.
    void close();

    const std::string &name() const { return fileName; }
    // Whether an event of this type and these flags reaches its Write.
    bool takes(uint32_t eventType, uint32_t flags) const;
    // The plugin's own posts the target accepted: log events, and those
    // that reach its own Write.
    uint64_t logPosts() const { return acceptedLogPosts; }
    uint64_t postsToItself() const { return acceptedPostsToItself; }

private:
    friend int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out);
    struct CloseLibrary {
        void operator()(void *handle) const;
    };

    LoadTarget &bus;
    std::unique_ptr<void, CloseLibrary> library;
    std::string fileName;
    DvrUnloadFn unload = nullptr;
    DvrCloseFn closeEntry = nullptr;
    _LoadParmsOut loadOut{};
    bool loaded = false;
    bool hasWrite = false;
    bool closed = false;
    std::atomic<uint64_t> acceptedLogPosts{0};
    std::atomic<uint64_t> acceptedPostsToItself{0};
    std::thread worker;
};

}  // namespace recorder_load
