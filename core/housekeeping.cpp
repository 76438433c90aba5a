#include "core/housekeeping.h"

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <climits>
#include <cmath>
#include <utility>

#include "core/io_thread.h"

namespace {

constexpr int64_t kMiB = 1048576;

// The Housekeeping whose run() this thread is in, if any.
thread_local const Housekeeping *runningHere = nullptr;

Housekeeping::Clock::time_point nextTick(Housekeeping::Clock::time_point now)
{
    if (now > Housekeeping::Clock::time_point::max() - Housekeeping::kTickInterval)
        return Housekeeping::Clock::time_point::max();
    return now + Housekeeping::kTickInterval;
}

}  // namespace

Housekeeping::Environment::Environment() : ownMemory("/proc/self/statm", sysconf(_SC_PAGESIZE))
{
}

int64_t Housekeeping::Environment::WallClockSeconds()
{
    using namespace std::chrono;
    return floor<seconds>(system_clock::now().time_since_epoch()).count();
}

uint32_t Housekeeping::Environment::ReadResidentBytes()
{
    return ownMemory.read();
}

Housekeeping::Housekeeping(boost::asio::io_context &ioContext, Environment &environment,
                           CoreLogger log, ThrottlingSwitch setThrottling)
    : ioContext(ioContext),
      environment(environment),
      log(log),
      setThrottling(std::move(setThrottling)),
      firstTick(nextTick(environment.Now()))
{
}

void Housekeeping::start(bool enabled)
{
    throttlingEnabled = enabled;
    if (!cancelled)
        startTicking(firstTick);
    // Wakes the I/O thread from a wait that has no tick to end it yet.
    boost::asio::post(ioContext, [] {});
}

// The context's wait for I/O ends when the tick is due at the latest (Asio
// rounds the wait up to the next millisecond, so the tick is never early).
// With no tick to wait for, it waits for I/O alone; with one already due, it
// runs a handler that is ready, so that a late tick cannot starve them.
void Housekeeping::run()
{
    struct Running {
        explicit Running(const Housekeeping *self) : previous(std::exchange(runningHere, self)) {}
        ~Running() { runningHere = previous; }
        const Housekeeping *const previous;
    } running(this);
    while (!ioContext.stopped()) {
        const Clock::time_point next = dueTime();
        if (next == Clock::time_point::max()) {
            ioContext.run_one();
        } else {
            const Clock::duration left = next - environment.Now();
            if (left > Clock::duration::zero())
                ioContext.run_one_for(left);
            else
                ioContext.poll_one();
        }
        tickIfDue();
    }
}

Housekeeping::Clock::time_point Housekeeping::nextTickDue() const
{
    return dueTime();
}

void Housekeeping::tickIfDue()
{
    const Clock::time_point now = environment.Now(), when = dueTime();
    if (cancelled || when == Clock::time_point::max() || now < when)
        return;
    setDue(nextTick(now - (now - when) % kTickInterval));
    OnHousekeepingTick({});
}

void Housekeeping::cancel()
{
    if (runningHere == this)  // a tick's own work: waiting for the I/O thread would hang
        stopTicking();
    else
        runOnIoThread(ioContext, [this] { stopTicking(); });
}

void Housekeeping::startTicking(Clock::time_point first)
{
    ticking.emplace(ioContext.get_executor());
    setDue(first);
}

void Housekeeping::stopTicking()
{
    cancelled = true;
    setDue(Clock::time_point::max());
    ticking.reset();
}

void Housekeeping::OnHousekeepingTick(const boost::system::error_code &error)
{
    if (error || cancelled)
        return;
    if (memoryLimit == 0) {
        memoryLimit = kMemoryLimit;
        log(0, "memory limit set to %zu", static_cast<size_t>(memoryLimit));
    }
    const int64_t wall = environment.WallClockSeconds();
    if (previousWallSeconds)
        reportClockJump(*previousWallSeconds, wall);
    else if (throttlingEnabled)
        environment.AnnounceMemoryState();  // the plugins learn the initial state
    if (throttlingEnabled && (!previousWallSeconds || wall != *previousWallSeconds))
        checkMemory();
    previousWallSeconds = wall;
    // A tick whose work cancelled the ticking must not start it again.
    if (!cancelled && dueTime() == Clock::time_point::max())
        startTicking(nextTick(environment.Now()));
}

void Housekeeping::reportClockJump(int64_t previous, int64_t now)
{
    // Clamped to what "%d" prints: a jump across decades must not overflow.
    const double difference =
        std::trunc(static_cast<double>(now) - static_cast<double>(previous));
    const int seconds = difference >= INT_MAX   ? INT_MAX
                        : difference <= INT_MIN ? INT_MIN
                                                : static_cast<int>(difference);
    if (seconds > 1 || seconds < -1)
        log(50, "system time changed by %d seconds", seconds);
}

void Housekeeping::checkMemory()
{
    const uint32_t resident = environment.ReadResidentBytes();
    SetMemoryLow(resident > memoryLimit);
    const Clock::time_point now = environment.Now();
    if (now - lastUsageReport < kUsageReportInterval)
        return;
    const int64_t change = (static_cast<int64_t>(resident) - lastReportedUsage) / kMiB;
    log(25, "memory usage changed %lldMB (total usage: %zuMB)", static_cast<long long>(change),
        static_cast<size_t>(resident / kMiB));
    lastUsageReport = now;
    lastReportedUsage = resident;
}

// The throttling flag follows every reading; the messages and announcements
// come once per low period: at its first low reading, and once a minute has
// passed since its last.
void Housekeeping::SetMemoryLow(bool low)
{
    const Clock::time_point now = environment.Now();
    setThrottling(low);
    if (low) {
        if (lowMemorySince == Clock::time_point::max()) {
            log(50, "available system memory is low, throttling video");
            environment.AnnounceMemoryState();
        }
        lowMemorySince = now;
        return;
    }
    if (lowMemorySince == Clock::time_point::max() || now - lowMemorySince < kRecoveryTime)
        return;
    log(50, "available system memory ok, not throttling video");
    environment.AnnounceMemoryState();
    lowMemorySince = Clock::time_point::max();
}
