// dvrcore: the core object. One per process; owns the components, in the
// order that start-up, shutdown and destruction rely on, and runs the start
// and stop sequence. Its event entry hands every event to an EventEntry
// over the components; the core serves parent packets and requests
// addressed to it.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <string>
#include <thread>

#include "config/configuration.h"
#include "config/status_keeper.h"
#include "config/xml_document.h"
#include "core/housekeeping.h"
#include "core/privileges.h"
#include "events/event_bus.h"
#include "events/event_entry.h"
#include "events/time_source.h"
#include "ipc/parent_link.h"
#include "log/console_log.h"
#include "log/log_levels.h"
#include "log/log_output.h"
#include "log/log_router.h"
#include "log/logging.h"
#include "log/source_names.h"
#include "plugin/dvrplugin.h"
#include "plugins/plugin_host.h"

// The core's version string.
const char *CoreVersion();

// The event entry handed to plugins: forwards to PluginEvent of the process's
// core instance. Refuses with result 1 when no core exists.
int dvrcoreEventEntry(const _EventParmsIn *in, _EventParmsOut *out);

class dvrcore : private TimeSource,
                private LogOutput,
                private Housekeeping::Environment,
                private EventEntry::Upstream {
public:
    using Clock = TimeSource::Clock;

    explicit dvrcore(std::string executablePath);
    ~dvrcore() override;
    dvrcore(const dvrcore &) = delete;
    dvrcore &operator=(const dvrcore &) = delete;

    // Current steady-clock time. Every timing of the core reads it, so tests
    // can drive time through a subclass.
    Clock::time_point Now() override;
    // Publishes the memory-state document to the plugins.
    void AnnounceMemoryState() override;
    // Publishes a document, printed compactly, as one event of `eventType`
    // from the core.
    void sendDocument(const XmlDocument &document, uint32_t eventType);
    // Writes one log line to the console and, at level 100, to syslog.
    void WriteLog(uint32_t providerID, uint32_t level, const char *text) override;

    // Adopts the parent descriptor (-1: none). False when the core cannot run.
    bool Initialize(int parentDescriptor);
    // Starts up, runs the delivery loop until stopped, and shuts down.
    void Start();
    // Ends the run once the queue is drained. Any thread, any number of times.
    void RequestStop();
    // The event entry. Always returns 0; the outcome is in out->result.
    int PluginEvent(const _EventParmsIn *in, _EventParmsOut *out);

    // The process's core instance, or null.
    static dvrcore *Instance();

protected:
    // Seams for tests that drive a whole core in-process.
    EventBus &eventBus() { return bus; }
    PluginHost &pluginHost() { return host; }
    LogLevelTable &levels() { return logLevels; }
    // Logs the blocks some holder never released, and empties the table.
    void reportLeaks();
    // Sleeps `duration` of real time, sleeping on after signals; used for the
    // grace period after the parent link was lost.
    virtual void Sleep(std::chrono::seconds duration);

private:
    // Capability masks (bit numbers of <linux/capability.h>).
    static constexpr uint32_t kCapNetAdmin = 1u << 12;
    static constexpr uint32_t kCapNetRaw = 1u << 13;
    static constexpr uint32_t kCapSysRawio = 1u << 17;
    // While plugins open, and after.
    static constexpr uint32_t kOpeningCapabilities = kCapNetAdmin | kCapNetRaw | kCapSysRawio;
    static constexpr uint32_t kRunningCapabilities = kCapNetAdmin | kCapNetRaw;

    // --- start and stop steps -------------------------------------------
    void startIoThread();
    StatusSnapshot statusSnapshot();
    ParentLink::Handlers parentHandlers();
    void narrowCapabilities();

    // --- the event entry's upstream ---------------------------------------
    int32_t queueParentPacket(void *data, uint32_t len) override;
    void serveCoreRequest(const _EventParmsIn &request) override;

    // --- components and state, in construction order ----------------------
    const CoreLogger log{dvrcoreEventEntry};
    Privileges privileges{log};
    LogLevelTable logLevels;
    LogLevelTable defaultLogLevels;
    Configuration configuration{logLevels, dvrcoreEventEntry};
    SourceNames sourceNames;
    ConsoleLog console{sourceNames};
    LogRouter logRouter{logLevels, *this};
    boost::asio::io_context ioContext;
    // After the context, which must outlive its timer. It reads Now() while
    // the core is being built, so its first tick is timed by the real clock.
    Housekeeping housekeeping{ioContext, *this, log,
                              [this](bool active) { bus.setThrottling(active); }};
    ParentLink parentLink{ioContext, dvrcoreEventEntry, parentHandlers()};
    EventBus bus{*this, logLevels, dvrcoreEventEntry};
    PluginHost host{bus, {logLevels, defaultLogLevels, sourceNames}, *this, dvrcoreEventEntry, this};
    StatusKeeper status{{logLevels, defaultLogLevels, [this] { return statusSnapshot(); },
                         [this](const XmlDocument &document) {
                             sendDocument(document, DVR_EVENT_CONFIG);
                         }},
                        dvrcoreEventEntry};
    EventEntry eventEntry{bus, logRouter, *this};
    std::string executablePath;
    std::thread ioThread;
};
