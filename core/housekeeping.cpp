#include "core/housekeeping.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "core/io_thread.h"

namespace {

constexpr int64_t kMiB = 1048576;

Housekeeping::Clock::time_point nextTick(Housekeeping::Clock::time_point now)
{
    if (now > Housekeeping::Clock::time_point::max() - Housekeeping::kTickInterval)
        return Housekeeping::Clock::time_point::max();
    return now + Housekeeping::kTickInterval;
}

// A duration as a timespec, at least 1 ns (zero would disarm a timer) and at
// most what time_t holds (32 bits on the device: the far future, never due).
timespec toTimespec(std::chrono::nanoseconds duration)
{
    using namespace std::chrono;
    timespec result{};
    if (duration < nanoseconds(1)) {
        result.tv_nsec = 1;
        return result;
    }
    const auto whole = duration_cast<seconds>(duration);
    if (whole.count() >= std::numeric_limits<time_t>::max()) {
        result.tv_sec = std::numeric_limits<time_t>::max();
        return result;
    }
    result.tv_sec = static_cast<time_t>(whole.count());
    result.tv_nsec = static_cast<long>((duration - whole).count());
    return result;
}

// Closes a descriptor not yet handed to its owner.
struct DescriptorGuard {
    ~DescriptorGuard()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    int descriptor;
};

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
      firstTick(nextTick(environment.Now())),
      timer(ioContext)
{
}

void Housekeeping::start(bool enabled)
{
    throttlingEnabled = enabled;
    if (arm(firstTick))
        waitForExpiry();
}

void Housekeeping::cancel()
{
    runOnIoThread(ioContext, [this] { stopTicking(); });
}

void Housekeeping::stopTicking()
{
    cancelled = true;
    // Closing, not only cancelling: a timer left armed would still wake the
    // I/O thread at every expiry. The pending wait ends with an error.
    boost::system::error_code ignored;
    timer.close(ignored);
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
    // A tick whose work cancelled the ticking must not arm the timer again.
    if (!cancelled && (timer.is_open() || arm(nextTick(environment.Now()))))
        waitForExpiry();
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

// The first expiry is an absolute time of the monotonic clock; one already
// past is due at once.
bool Housekeeping::arm(Clock::time_point firstExpiry)
{
    DescriptorGuard created{timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
    itimerspec schedule{};
    schedule.it_interval = toTimespec(kTickInterval);
    schedule.it_value = toTimespec(firstExpiry.time_since_epoch());
    if (created.descriptor < 0 ||
        timerfd_settime(created.descriptor, TFD_TIMER_ABSTIME, &schedule, nullptr) != 0) {
        log(100, "housekeeping timer failed: %s", std::strerror(errno));
        return false;
    }
    boost::system::error_code error;
    timer.assign(created.descriptor, error);
    if (error) {
        log(100, "housekeeping timer failed: %s", error.message().c_str());
        return false;
    }
    created.descriptor = -1;
    return true;
}

// A read, not a wait for readiness: the reactor reads the count as the
// timer expires, and starting the next read costs one read that finds
// nothing, where a wait would re-register the descriptor with epoll.
void Housekeeping::waitForExpiry()
{
    if (waiting)
        return;
    waiting = true;
    timer.async_read_some(boost::asio::buffer(&expiries, sizeof expiries),
                          [this](const boost::system::error_code &error, size_t length) {
                              onExpiry(error, length);
                          });
}

// The count read is the number of expiries since the last read: more than
// one when the I/O thread was held up. They make one tick: clock jumps and
// the memory check go by the clocks, not by counting ticks.
void Housekeeping::onExpiry(const boost::system::error_code &error, size_t length)
{
    waiting = false;
    if (cancelled)
        return;
    if (error) {
        log(100, "housekeeping timer failed: %s", error.message().c_str());
        return;
    }
    if (length == sizeof expiries)
        OnHousekeepingTick(error);
    else
        waitForExpiry();
}
