// The housekeeping tick: every 100 ms on the I/O thread it reports jumps of
// the wall clock and, when memory throttling is enabled, checks the
// process's resident memory about once a second (when the wall clock enters
// a new second). Above the memory limit it switches frame throttling on; it
// tells the plugins when throttling starts and when it has ended, and logs
// the memory use once a minute.
//
// The ticks need no timer of their own: run() runs the I/O context and
// bounds each of its waits for I/O by the next tick's time, so an idle core
// wakes for a tick from the one system call it sleeps in (epoll_wait's
// timeout) and makes no other.
//
// Everything but start() and cancel() runs on the I/O thread, so the state
// here needs no lock. The clocks, the memory reading and the announcement to
// the plugins come from an Environment, so tests drive the tick by hand.
#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/resident_memory.h"
#include "log/logging.h"

class Housekeeping {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr uint32_t kMemoryLimit = 199229440;  // 190 MiB
    static constexpr auto kTickInterval = std::chrono::milliseconds(100);
    static constexpr auto kUsageReportInterval = std::chrono::seconds(60);
    // Throttling ends this long after the last reading that found memory low.
    static constexpr auto kRecoveryTime = std::chrono::seconds(60);

    // What the tick reads and whom it tells.
    class Environment {
    public:
        virtual ~Environment() = default;
        // The steady clock: the first tick's time and every interval here.
        virtual Clock::time_point Now() = 0;
        // Seconds since the epoch.
        virtual int64_t WallClockSeconds();
        // The process's resident set size from /proc/self/statm, which
        // stays open from the first reading on.
        virtual uint32_t ReadResidentBytes();
        // Tells the plugins whether throttling is active now.
        virtual void AnnounceMemoryState() = 0;

    protected:
        Environment();

    private:
        ResidentMemory ownMemory;
    };

    // Sets the bus's throttling flag.
    using ThrottlingSwitch = std::function<void(bool active)>;

    // The first tick is due 100 ms after construction, by the environment's
    // clock (saturating at the largest time point), the next ones every
    // 100 ms after it.
    Housekeeping(boost::asio::io_context &ioContext, Environment &environment, CoreLogger log,
                 ThrottlingSwitch setThrottling);
    Housekeeping(const Housekeeping &) = delete;
    Housekeeping &operator=(const Housekeeping &) = delete;

    // Starts the ticking. `throttlingEnabled` is core.xml's switch: when
    // false the tick does no memory work at all. Once, before any tick.
    void start(bool throttlingEnabled);

    // Runs the I/O context on this thread until it stops, and each tick
    // when it is due. A handler's exception leaves it; calling it again
    // goes on.
    void run();

    // When the next tick is due: max() before start() and after cancel().
    Clock::time_point nextTickDue() const;

    // Runs the tick if it is due by the environment's clock. The next one
    // is then due at the first 100 ms step after now: ticks missed while
    // the I/O thread was held up make one tick, as the clock jumps and the
    // memory check go by the clocks, not by counting ticks.
    void tickIfDue();

    // Ends the ticking: no tick runs after cancel() returns, and the I/O
    // thread wakes for ticks no more. From another thread the
    // cancellation is posted to the I/O context and waited for, so it
    // cannot race a running tick; that needs a thread running the context
    // (the core's case). On the I/O thread itself, or once the
    // context has stopped and its threads are done, it cancels directly.
    // A context that nobody runs and that has not stopped would keep it
    // waiting until some thread runs it.
    void cancel();

    // One tick, public so tests can run one. An error ends the ticking. A
    // tick run before start() starts the ticking itself, the next one due
    // 100 ms after it by the environment's clock.
    void OnHousekeepingTick(const boost::system::error_code &error);

private:
    void reportClockJump(int64_t previous, int64_t now);
    void checkMemory();
    void SetMemoryLow(bool low);
    void startTicking(Clock::time_point first);
    void stopTicking();
    Clock::time_point dueTime() const { return Clock::time_point(Clock::duration(due.load())); }
    void setDue(Clock::time_point when) { due.store(when.time_since_epoch().count()); }

    boost::asio::io_context &ioContext;
    Environment &environment;
    const CoreLogger log;
    const ThrottlingSwitch setThrottling;
    const Clock::time_point firstTick;
    // The next tick's time (its count of the steady clock); max() while not
    // ticking. Set by start() on its thread, then only on the I/O thread.
    std::atomic<Clock::rep> due{Clock::duration::max().count()};
    // Held while ticking: the ticks keep the context from running out of
    // work, as a pending wait would.
    std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
        ticking;
    bool throttlingEnabled = true;
    std::atomic<bool> cancelled{false};

    uint32_t memoryLimit = 0;
    std::optional<int64_t> previousWallSeconds;
    Clock::time_point lastUsageReport{};
    uint32_t lastReportedUsage = 0;
    // When the latest low reading was taken; max() while not throttling.
    Clock::time_point lowMemorySince = Clock::time_point::max();
};
