// A dvrcore for in-process tests: a hand-driven clock, captured log lines,
// and fake plugins registered as plain function pointers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"

struct LogLine {
    uint32_t providerID;
    uint32_t level;
    std::string text;
};

class TestCore : public dvrcore {
public:
    TestCore() : dvrcore("/nonexistent/dvrcore") {}
    ~TestCore() override;

    // --- clock: starts at an arbitrary point and only moves when told ---
    Clock::time_point Now() override { return Clock::time_point(std::chrono::nanoseconds(clockNs.load())); }
    void advance(std::chrono::nanoseconds step) { clockNs += step.count(); }
    std::atomic<int64_t> clockNs{int64_t(1000) * 1000000000};

    // --- log output: captured instead of printed ---
    void WriteLog(uint32_t providerID, uint32_t level, const char *text) override;
    std::vector<LogLine> logLines();
    bool logged(const std::string &text);  // some line equals text
    bool loggedPrefix(const std::string &prefix);

    // --- plugins ---
    // Appends a fake plugin; entry points left null count as not exported.
    PLUGININFO &addPlugin(uint32_t id, const char *fileName, DvrWriteFn write,
                          uint32_t subscribeAll = 0xFFFFFFFFu, bool writable = true);

    // --- event bus ---
    // Posts through the plugins' event entry; returns the result word.
    int post(_EventParmsIn in);
    // Runs the delivery loop on a thread of its own until stop().
    void startDelivery();
    // Requests the stop and waits for the loop to drain the queue.
    void stopDelivery();
    // Runs the loop on this thread until the queue is empty (stop requested).
    void drain();

    size_t queued();

    using dvrcore::backgroundMode;
    using dvrcore::closePlugins;
    using dvrcore::loadPlugin;
    using dvrcore::loadPlugins;
    using dvrcore::openPlugins;
    using dvrcore::startReaderThreads;
    using dvrcore::unloadPlugins;
    using dvrcore::defaultLogLevels;
    using dvrcore::eventQueue;
    using dvrcore::failedPlugins;
    using dvrcore::frameGate;
    using dvrcore::logLevels;
    using dvrcore::plugins;
    using dvrcore::readRequests;
    using dvrcore::refBlockTable;
    using dvrcore::reportLeaks;
    using dvrcore::runDeliveryLoop;
    using dvrcore::sourceNames;
    using dvrcore::stopRequested;
    using dvrcore::throttlingActive;

private:
    std::mutex logMutex;
    std::vector<LogLine> lines;
    std::thread delivery;
};

// A zeroed event record with size and version filled in.
_EventParmsIn makeEvent(uint32_t providerID, uint32_t eventType, uint32_t flags = 0,
                        const void *data = nullptr, uint32_t len = 0);
