// The housekeeping tick: every 100 ms on the I/O thread it reports jumps of
// the wall clock and, when memory throttling is enabled, checks the
// process's resident memory about once a second (when the wall clock enters
// a new second). Above the memory limit it switches frame throttling on; it
// tells the plugins when throttling starts and when it has ended, and logs
// the memory use once a minute.
//
// The ticks come from a periodic timer of the kernel (a timerfd on the
// monotonic clock) that is armed once: an idle core wakes for a tick and
// reads the timer's expiration count, and makes no system call to re-arm it.
//
// Everything but start() and cancel() runs on the I/O thread, so the state
// here needs no lock. The clocks, the memory reading and the announcement to
// the plugins come from an Environment, so tests drive the tick by hand.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
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
    // 100 ms after it. The timer reads that time point as one of the
    // monotonic clock, which is what the steady clock counts.
    Housekeeping(boost::asio::io_context &ioContext, Environment &environment, CoreLogger log,
                 ThrottlingSwitch setThrottling);
    Housekeeping(const Housekeeping &) = delete;
    Housekeeping &operator=(const Housekeeping &) = delete;

    // Arms the timer and issues the first wait. `throttlingEnabled` is
    // core.xml's switch: when false the tick does no memory work at all.
    // Once, before any tick. When the kernel gives no timer, that is logged
    // and no tick runs.
    void start(bool throttlingEnabled);

    // Ends the ticking: no tick runs after cancel() returns, and the closed
    // timer wakes the I/O thread no more. From another thread the
    // cancellation is posted to the I/O context and waited for, so it
    // cannot race a running tick; that needs a thread running the context
    // (the core's case). On the I/O thread itself, or once the
    // context has stopped and its threads are done, it cancels directly.
    // A context that nobody runs and that has not stopped would keep it
    // waiting until some thread runs it.
    void cancel();

    // One tick, public so tests can run one. An error (the wait was
    // cancelled) ends the ticking. Otherwise the tick ends waiting for the
    // timer's next expiry; a tick run before start() arms the timer itself,
    // its first expiry 100 ms after that tick by the environment's clock.
    void OnHousekeepingTick(const boost::system::error_code &error);

private:
    void reportClockJump(int64_t previous, int64_t now);
    void checkMemory();
    void SetMemoryLow(bool low);
    bool arm(Clock::time_point firstExpiry);
    void waitForExpiry();
    void onExpiry(const boost::system::error_code &error, size_t length);
    void stopTicking();

    boost::asio::io_context &ioContext;
    Environment &environment;
    const CoreLogger log;
    const ThrottlingSwitch setThrottling;
    const Clock::time_point firstTick;
    // The timerfd; closed until armed, and again once cancelled.
    boost::asio::posix::stream_descriptor timer;
    // A wait on the timer is outstanding: a tick run by hand meanwhile
    // issues no second one.
    bool waiting = false;
    // Where the outstanding wait reads the timer's expiration count.
    uint64_t expiries = 0;
    bool throttlingEnabled = true;
    // A completion already queued when the wait was cancelled still arrives
    // without an error; this keeps it from ticking or waiting again.
    std::atomic<bool> cancelled{false};

    uint32_t memoryLimit = 0;
    std::optional<int64_t> previousWallSeconds;
    Clock::time_point lastUsageReport{};
    uint32_t lastReportedUsage = 0;
    // When the latest low reading was taken; max() while not throttling.
    Clock::time_point lowMemorySince = Clock::time_point::max();
};
