// The housekeeping tick, driven by hand: the test sets the clocks and the
// resident memory and runs each tick directly.
#include "core/housekeeping.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

#include "support/test_bus.h"

namespace {

using Clock = Housekeeping::Clock;
using Texts = std::vector<std::string>;
using std::chrono::seconds;
constexpr uint32_t kLimit = 199229440;
const Texts kLow{"available system memory is low, throttling video"};

class FakeEnvironment : public Housekeeping::Environment {
public:
    Clock::time_point Now() override { return steady; }
    int64_t WallClockSeconds() override { return wall; }
    uint32_t ReadResidentBytes() override
    {
        calls.push_back("read");
        return resident;
    }
    void AnnounceMemoryState() override { calls.push_back(throttling ? "announce 1" : "announce 0"); }
    long count(const char *call) { return std::count(calls.begin(), calls.end(), call); }

    Clock::time_point steady = Clock::time_point(seconds(3600));
    int64_t wall = 1700000000;
    uint32_t resident = 0;
    bool throttling = false;  // the bus's flag, as the tick sets it
    Texts calls;
};

class HousekeepingTest : public ::testing::Test {
protected:
    HousekeepingTest() { bus.logLevels.set(LogLevelTable::kCoreIndex, 0); }

    // `count` ticks, each `by` later than the last on both clocks.
    void tick(int count = 1, seconds by = seconds(1))
    {
        for (int i = 0; i < count; ++i) {
            env.steady += by;
            env.wall += by.count();
            housekeeping.OnHousekeepingTick({});
        }
    }
    Texts logged(uint32_t level)
    {
        Texts texts;
        for (const LogLine &line : bus.logLines())
            if (line.level == level)
                texts.push_back(line.text);
        return texts;
    }

    TestBus bus;
    FakeEnvironment env;
    boost::asio::io_context io;
    Housekeeping housekeeping{io, env, CoreLogger(&TestBus::entry),
                              [this](bool active) { env.throttling = active; }};
};

TEST_F(HousekeepingTest, FirstTickSetsTheLimitAndAnnouncesBeforeTheFirstCheckEvenAtTheEpoch)
{
    housekeeping.start(true);
    env.wall = 0;
    tick(2, seconds(0));  // the second in the same wall-clock second: no check
    EXPECT_EQ(logged(0), Texts{"memory limit set to 199229440"});
    EXPECT_EQ(env.calls, (Texts{"announce 0", "read"}));
}

TEST_F(HousekeepingTest, WithThrottlingOffOnlyTheLimitAndClockJumpsOfOverASecondAreLogged)
{
    housekeeping.start(false);
    env.resident = UINT32_MAX;
    tick();
    for (int jump : {3600, -10, 1, 2})
        tick(1, seconds(jump));
    env.wall += int64_t(1) << 32;  // decades on: clamped, not wrapped
    tick(1, seconds(0));
    EXPECT_TRUE(env.calls.empty());
    EXPECT_EQ(logged(0), Texts{"memory limit set to 199229440"});
    EXPECT_EQ(logged(50), (Texts{"system time changed by 3600 seconds",
                                 "system time changed by -10 seconds",
                                 "system time changed by 2 seconds",
                                 "system time changed by 2147483647 seconds"}));
}

TEST_F(HousekeepingTest, AbovePlusOnePageThrottlesAtOnceAndRecoversAMinuteAfterTheLastLowReading)
{
    housekeeping.start(true);
    env.resident = kLimit;
    tick();
    EXPECT_FALSE(env.throttling) << "exactly the limit is not low";
    env.resident = kLimit + 4096;
    tick(5);
    EXPECT_TRUE(env.throttling);
    EXPECT_EQ(logged(50), kLow);
    EXPECT_EQ(env.count("announce 1"), 1);

    env.resident = kLimit;
    tick();
    EXPECT_FALSE(env.throttling) << "frames flow from the first check that is not low";
    env.resident = kLimit + 1;
    tick();  // low again while recovering: no second message
    EXPECT_TRUE(env.throttling);
    env.resident = kLimit;
    tick(59);
    EXPECT_EQ(logged(50), kLow);
    tick(2);  // 60 s after the last low reading, then one more
    EXPECT_EQ(logged(50).back(), "available system memory ok, not throttling video");
    EXPECT_EQ(logged(50).size(), 2u);
    EXPECT_EQ(env.count("announce 0"), 2);
}

TEST_F(HousekeepingTest, UsageIsLoggedOnceAMinuteFromSixtySecondsOfSteadyTime)
{
    housekeeping.start(true);
    env.steady = Clock::time_point(seconds(30));
    env.resident = 10 * 1048576 + 1;
    tick(29);
    EXPECT_TRUE(logged(25).empty());
    tick();  // the steady clock reaches 60 s
    env.resident -= 3 * 1048576 / 2;
    tick(120);
    EXPECT_EQ(logged(25), (Texts{"memory usage changed 10MB (total usage: 10MB)",
                                 "memory usage changed -1MB (total usage: 8MB)",
                                 "memory usage changed 0MB (total usage: 8MB)"}));
}

// A tick is due on a 100 ms grid from the first; a late one is one tick,
// the next due at the grid's first step after now. Cancelling, here in a
// handler of the I/O context, leaves none due, by hand or by the clock.
TEST_F(HousekeepingTest, TicksFollowTheGridAndNoneRunsOnceCancelled)
{
    const Clock::time_point first = env.steady + std::chrono::milliseconds(100);
    housekeeping.start(false);
    EXPECT_EQ(housekeeping.nextTickDue(), first);
    env.steady = first - std::chrono::milliseconds(1);
    housekeeping.tickIfDue();
    EXPECT_EQ(logged(0).size(), 0u) << "not due yet";
    env.steady = first + std::chrono::milliseconds(350);
    housekeeping.tickIfDue();
    EXPECT_EQ(logged(0).size(), 1u) << "three missed ticks make one";
    EXPECT_EQ(housekeeping.nextTickDue(), first + std::chrono::milliseconds(400));

    const Texts before = env.calls;
    boost::asio::post(io, [this] { housekeeping.cancel(); });
    io.poll();
    EXPECT_EQ(housekeeping.nextTickDue(), Clock::time_point::max());
    env.steady += seconds(5);
    env.wall += 5;
    housekeeping.tickIfDue();
    housekeeping.OnHousekeepingTick({});
    EXPECT_EQ(env.calls, before);
    EXPECT_TRUE(logged(50).empty());
}

// Ticks run back to back on an I/O thread (every tick is late) while this
// thread cancels; ThreadSanitizer runs it too.
TEST_F(HousekeepingTest, CancelFromAnotherThreadStopsRunningTicks)
{
    struct Counting : FakeEnvironment {
        Clock::time_point Now() override { return steady += std::chrono::milliseconds(100); }
        int64_t WallClockSeconds() override
        {
            if (cancelled && ++ticksAfterCancel)
                io->stop();  // a failure, not a hang
            if (++ticks == 3)
                running.set_value();
            return 1;
        }
        std::atomic<int> ticks{0}, ticksAfterCancel{0};
        std::atomic<bool> cancelled{false};
        std::promise<void> running;
        boost::asio::io_context *io = nullptr;
    } counting;
    counting.io = &io;
    Housekeeping ticking(io, counting, CoreLogger(&TestBus::entry), [](bool) {});
    ticking.start(false);
    std::thread ioThread([&] { ticking.run(); });  // returns once nothing is left to wait for
    counting.running.get_future().wait();
    ticking.cancel();
    counting.cancelled = true;
    ioThread.join();
    EXPECT_EQ(counting.ticksAfterCancel, 0);
}

// The real clock: the I/O loop ticks 100 ms after construction and every
// 100 ms after that, never early, so the times checked hold on any machine;
// a tick that cancels the ticking leaves the loop nothing to wait for.
TEST_F(HousekeepingTest, TheLoopTicksEveryHundredMillisecondsFromConstructionUntilCancelled)
{
    struct Timed : FakeEnvironment {
        Clock::time_point Now() override { return Clock::now(); }
        int64_t WallClockSeconds() override
        {
            ticks.push_back(Clock::now());
            if (ticks.size() == 2)
                housekeeping->cancel();
            return wall;
        }
        std::vector<Clock::time_point> ticks;
        Housekeeping *housekeeping = nullptr;
    } timed;
    const Clock::time_point constructed = Clock::now();
    Housekeeping ticking(io, timed, CoreLogger(&TestBus::entry), [](bool) {});
    timed.housekeeping = &ticking;
    ticking.start(false);
    ticking.run();
    ASSERT_EQ(timed.ticks.size(), 2u);
    EXPECT_GE(timed.ticks[0], constructed + std::chrono::milliseconds(100));
    EXPECT_GE(timed.ticks[1], constructed + std::chrono::milliseconds(200));
}

TEST(ResidentBytes, PagesTimesPageSizeSaturatingAndZeroWhenUnreadable)
{
    const std::string path = testing::TempDir() + "housekeeping-statm";
    const auto bytes = [&path](const char *statm) {
        std::FILE *file = std::fopen(path.c_str(), "w");
        std::fputs(statm, file);
        std::fclose(file);
        return readResidentBytes(path.c_str(), 4096);
    };
    EXPECT_EQ(bytes("90000 48640 300 1 0 900 0\n"), kLimit);
    EXPECT_EQ(bytes("1 1048575\n"), 4294963200u);
    EXPECT_EQ(bytes("2000000 1048576\n"), UINT32_MAX) << "4 GiB and more saturate";
    EXPECT_EQ(bytes("12\n"), 0u);
    std::remove(path.c_str());
    EXPECT_EQ(readResidentBytes(path.c_str(), 4096), 0u);
    FakeEnvironment env;
    EXPECT_GT(env.Housekeeping::Environment::ReadResidentBytes(), 0u) << "this process's own";
}

// One reader kept open sees each new text of the file; a file it could not
// read is opened afresh at the next reading.
TEST(ResidentBytes, AnOpenReaderFollowsTheFileAndReopensAfterAFailedRead)
{
    const std::string path = testing::TempDir() + "housekeeping-statm-kept";
    const auto write = [&path](const char *statm) {
        std::FILE *file = std::fopen(path.c_str(), "w");  // the same file, emptied
        std::fputs(statm, file);
        std::fclose(file);
    };
    std::remove(path.c_str());  // what an interrupted run left
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    ResidentMemory memory(path, 4096);
    EXPECT_EQ(memory.read(), 0u) << "a directory opens but cannot be read";
    ASSERT_EQ(rmdir(path.c_str()), 0);
    const struct {
        const char *statm;
        uint32_t bytes;
    } readings[] = {
        {"90000 48640 300 1 0 900 0\n", kLimit},
        {"1 2\n", 8192u},  // shorter than the text before it
        {"12\n", 0u},
        {"2000000 1048576\n", UINT32_MAX},
    };
    for (const auto &reading : readings) {
        write(reading.statm);
        EXPECT_EQ(memory.read(), reading.bytes) << reading.statm;
    }
    std::remove(path.c_str());
}

}  // namespace
