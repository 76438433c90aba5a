// The plugin host on a test bus: real plugin files or fake plugins as plain
// function pointers, with requests to the core served by the host.
#pragma once

#include "plugins/plugin_host.h"
#include "support/test_bus.h"

class TestHost : public TestBus {
public:
    TestHost() { coreRequests = [this](const _EventParmsIn &request) { host.serveCoreRequest(request); }; }
    ~TestHost() override
    {
        stopDelivery();
        host.unloadPlugins();
    }

    // Adopts a fake plugin with the given entry points; null ones count as
    // not exported.
    PLUGININFO &addPlugin(uint32_t id, const char *fileName, DvrReadFn read, DvrWriteFn write,
                          uint32_t subscribeAll = 0xFFFFFFFFu, bool readable = true)
    {
        PLUGININFO plugin;
        plugin.Read = read;
        plugin.Write = write;
        plugin.loadOut.size = sizeof plugin.loadOut;
        plugin.loadOut.version = DVR_LOAD_OUT_VERSION;
        plugin.loadOut.pluginId = id;
        for (uint32_t &word : plugin.loadOut.subscribe)
            word = subscribeAll;
        plugin.loadOut.readable = readable ? 1 : 0;
        plugin.loadOut.writable = write ? 1 : 0;
        plugin.fileName = fileName;
        return host.adopt(std::move(plugin));
    }

    PluginHost host{bus, {logLevels, defaultLogLevels, sourceNames}, clock, &TestBus::entry, this};
};
