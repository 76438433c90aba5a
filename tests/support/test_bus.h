// The event bus with its log routing, built alone for tests: a hand-driven
// clock, captured log lines, fake plugins as plain function pointers, and an
// event entry that routes through the core's own EventEntry. What the core
// serves above the bus is stood in for: parent packets are freed and refused
// (there is no parent link), requests addressed to the core go to a hook.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/event_bus.h"
#include "events/event_entry.h"
#include "log/log_levels.h"
#include "log/log_router.h"
#include "log/source_names.h"

struct LogLine {
    uint32_t providerID;
    uint32_t level;
    std::string text;
};

// A clock that starts at an arbitrary point and moves only when told, or by
// a fixed step before every reading.
class ManualClock : public TimeSource {
public:
    Clock::time_point Now() override
    {
        return Clock::time_point(std::chrono::nanoseconds(ns += step.load()));
    }
    void advance(std::chrono::nanoseconds by) { ns += by.count(); }
    void stepEachReading(std::chrono::nanoseconds by) { step = by.count(); }

private:
    std::atomic<int64_t> ns{int64_t(1000) * 1000000000};
    std::atomic<int64_t> step{0};
};

// Log lines kept in memory instead of printed.
class CapturedLog : public LogOutput {
public:
    void WriteLog(uint32_t providerID, uint32_t level, const char *text) override;
    std::vector<LogLine> lines();

private:
    std::mutex mutex;
    std::vector<LogLine> captured;
};

class TestBus : private EventEntry::Upstream {
public:
    // One at a time: its event entry is a plain function, as plugins get it.
    TestBus();
    virtual ~TestBus();
    TestBus(const TestBus &) = delete;
    TestBus &operator=(const TestBus &) = delete;

    // The entry handed to fake plugins; routes to the live TestBus.
    static int entry(const _EventParmsIn *in, _EventParmsOut *out);

    // Posts through the entry; returns the result word.
    int post(_EventParmsIn in);
    int PluginEvent(const _EventParmsIn *in, _EventParmsOut *out);

    void advance(std::chrono::nanoseconds step) { clock.advance(step); }

    std::vector<LogLine> logLines() { return output.lines(); }
    bool logged(const std::string &text);  // some line equals text
    bool loggedPrefix(const std::string &prefix);

    // Appends a fake plugin; entry points left null count as not exported.
    Subscriber &addPlugin(uint32_t id, const char *fileName, DvrWriteFn write,
                          uint32_t subscribeAll = 0xFFFFFFFFu, bool writable = true);

    // Runs the delivery loop on a thread of its own until stopDelivery().
    void startDelivery();
    // Requests the stop and waits for the loop to drain the queue.
    void stopDelivery();
    // Runs the loop on this thread until the queue is empty (stop requested).
    void drain();
    void RequestStop() { bus.requestStop(); }
    size_t queued() { return bus.queued(); }

    ManualClock clock;
    CapturedLog output;
    LogLevelTable logLevels;
    LogLevelTable defaultLogLevels;
    SourceNames sourceNames;
    LogRouter router{logLevels, output};
    EventBus bus{clock, logLevels, &TestBus::entry};
    RefBlockTable &refBlockTable = bus.blocks();
    FrameGate &frameGate = bus.frameGate();
    ReadRequests &readRequests = bus.readRequests();

protected:
    // Requests addressed to the core (provider 0); ignored when unset.
    std::function<void(const _EventParmsIn &)> coreRequests;

private:
    int32_t queueParentPacket(void *data, uint32_t len) override;
    void serveCoreRequest(const _EventParmsIn &request) override;

    EventEntry events{bus, router, *this};
    std::thread delivery;
};

// A zeroed event record with size and version filled in.
_EventParmsIn makeEvent(uint32_t providerID, uint32_t eventType, uint32_t flags = 0,
                        const void *data = nullptr, uint32_t len = 0);
