// dvrcore: the core object. One per process; owns every piece of run-time
// state and drives start-up, the delivery loop and shutdown. The subsystems
// live in their own folders and are wired together here.
#pragma once

#include <array>
#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem/path.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "events/frame_gate.h"
#include "events/read_requests.h"
#include "events/refblock_table.h"
#include "log/log_levels.h"
#include "log/source_names.h"
#include "plugin/dvrplugin.h"
#include "plugins/plugin_info.h"

// The core's version string.
const char *CoreVersion();

// The event entry handed to plugins: forwards to PluginEvent of the process's
// core instance. Refuses with result 1 when no core exists.
int dvrcoreEventEntry(const _EventParmsIn *in, _EventParmsOut *out);

class dvrcore {
public:
    using Clock = std::chrono::steady_clock;

    explicit dvrcore(std::string executablePath);
    virtual ~dvrcore();
    dvrcore(const dvrcore &) = delete;
    dvrcore &operator=(const dvrcore &) = delete;

    // Current steady-clock time. Every timing of the core reads it, so tests
    // can drive time through a subclass.
    virtual Clock::time_point Now();
    // Publishes the memory-state document to the plugins.
    virtual void AnnounceMemoryState();
    // Writes one log line to the console and, at level 100, to syslog.
    virtual void WriteLog(uint32_t providerID, uint32_t level, const char *text);

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
    // --- start and stop steps -------------------------------------------
    void loadConfiguration();                        // config
    bool loadPlugins();                              // plugins
    // Loads the plugins found beside an executable in `executableDir`;
    // loadPlugins() passes the directory of executablePath. A seam for tests.
    bool loadPlugins(const boost::filesystem::path &executableDir);
    // Loads one plugin file; true when the plugin was accepted.
    bool loadPlugin(const boost::filesystem::path &file);
    void openPlugins();
    void closePlugins();
    void unloadPlugins();
    void startReaderThreads();
    void startParentReceive();                       // ipc
    void waitForParentSettings();
    bool adoptParentIdentity(uint32_t &parentUid);  // privileges
    void SetCapabilities(uint32_t mask);
    void OnHousekeepingTick(const boost::system::error_code &error);  // housekeeping
    void saveStatus();                               // config
    void cancelHousekeeping();
    void sleepAfterParentLoss();

    // --- event bus ------------------------------------------------------
    // Runs on the calling thread until a stop is requested and the queue is
    // empty; delivers every queued event in order.
    void runDeliveryLoop();
    void deliverEvent(const _EventParmsIn &event, size_t queueLeft);
    void writeToPlugin(PLUGININFO &plugin, const _EventParmsIn &event);
    void updatePluginConfig(PLUGININFO &plugin, const _EventParmsIn &event);
    void statusReport(size_t queueLeft);
    // Drops `holder`'s hold on the block; the last holder frees it.
    void releaseBlock(void *data, uint32_t holder);
    void serveCoreRequest(const _EventParmsIn &request);
    void startReadThreads(const _EventParmsIn &request);
    void queueParentPacket(void *data, uint32_t len);
    void postConfigApply(std::string text);
    // Appends to the queue; false when a stop was requested first, since the
    // delivery loop may already have drained the queue for the last time.
    bool enqueue(const _EventParmsIn &record);

    // Logs as the core, through the plugins' event entry.
    void log(int32_t level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    // Writes the leak report of blocks still held and empties the table.
    void reportLeaks();

    // --- members, in construction order -----------------------------------
    std::vector<PLUGININFO> plugins;
    SourceNames sourceNames;
    std::map<std::string, std::string> failedPlugins;
    boost::asio::io_context ioContext;
    boost::asio::steady_timer housekeepingTimer;
    boost::asio::generic::seq_packet_protocol::socket parentSocket;
    std::deque<std::pair<void *, uint32_t>> outgoingPackets;
    std::array<uint8_t, 65536> receiveBuffer{};
    uint32_t receivedBytes = 0;
    std::mutex queueMutex;
    std::condition_variable queueCondition;
    std::deque<_EventParmsIn> eventQueue;
    RefBlockTable refBlockTable;
    FrameGate frameGate;          // frameCounterMutex, frameCounters, throttled counters
    ReadRequests readRequests;    // readRequestMutex, cancelledRequests, readThreads
    std::string executablePath;
    std::string productFamily = "Quorvantile";
    std::string coreVersion;
    std::string parentFilename;
    std::string parentVersion;
    std::atomic<uint8_t> colourOutput{1};
    std::atomic<uint8_t> backgroundMode{0};
    std::atomic<uint8_t> stopRequested{0};
    std::atomic<uint8_t> parentLost{0};
    std::atomic<bool> parentConnected{false};  // the parent link is open
    std::atomic<uint8_t> throttlingEnabled{1};
    std::atomic<uint8_t> throttlingActive{0};
    int64_t lowMemorySince = INT64_MAX;
    LogLevelTable logLevels;
    LogLevelTable defaultLogLevels;

    // Guards the plugin list against the threads that read it while the list
    // changes: read requests from plugins' own threads during loading, and
    // anything that walks the list while it is sorted or emptied at shutdown.
    // The delivery loop reads it without the lock: the list does not change
    // while the loop runs.
    mutable std::shared_mutex pluginsMutex;

    std::thread ioThread;
    Clock::time_point lastReportTime{};
    uint32_t eventsCounter = 0;
};
