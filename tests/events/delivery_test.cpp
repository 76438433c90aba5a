// The delivery loop: which plugins get which events, shared blocks and holds,
// configuration events, failing and slow writes, and draining on stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/status_report.h"
#include "support/test_bus.h"

namespace {

constexpr uint32_t kA = 0x00010000, kB = 0x00020000, kC = 0x00030000;

struct Received {
    uint32_t plugin;
    _WriteParmsIn record;
    std::string bytes;  // the data as it was during the call
};

std::string bytesOf(const _WriteParmsIn *in)
{
    return in->data ? std::string(static_cast<const char *>(in->data), in->len) : std::string();
}

// Fake plugins record what they get; behaviour is set per test.
std::mutex receivedMutex;
std::vector<Received> received;
std::vector<uint32_t> keepers;        // plugins that set keep
TestBus *clockOwner = nullptr;       // Write advances its clock by writeCost
std::chrono::nanoseconds writeCost{0};
int writeResult = 0, writeError = 0;

template <uint32_t Id>
int recordingWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    std::lock_guard<std::mutex> lock(receivedMutex);
    received.push_back({Id, *in, bytesOf(in)});
    for (uint32_t keeper : keepers)
        if (keeper == Id)
            out->keep = 1;
    if (clockOwner)
        clockOwner->advance(writeCost);
    out->error = writeError;
    return writeResult;
}

std::vector<Received> ioctlCalls;
std::vector<_IoctlParmsIn> ioctlRecords;

template <uint32_t Id>
int recordingIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    std::lock_guard<std::mutex> lock(receivedMutex);
    ioctlRecords.push_back(*in);
    ioctlCalls.push_back({Id, _WriteParmsIn{}, std::string()});
    for (uint32_t keeper : keepers)
        if (keeper == Id)
            out->keep = 1;
    return 0;
}

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        received.clear();
        keepers.clear();
        ioctlCalls.clear();
        ioctlRecords.clear();
        clockOwner = nullptr;
        writeCost = std::chrono::nanoseconds(0);
        writeResult = writeError = 0;
    }

    void addThree(TestBus &core)
    {
        core.addPlugin(kA, "a.so", recordingWrite<kA>);
        core.addPlugin(kB, "b.so", recordingWrite<kB>);
        core.addPlugin(kC, "c.so", recordingWrite<kC>);
    }

    std::vector<uint32_t> receivers()
    {
        std::vector<uint32_t> ids;
        for (const Received &r : received)
            ids.push_back(r.plugin);
        return ids;
    }
};

TEST_F(DeliveryTest, EveryReceiverSeesTheSameCopyInLoadOrder)
{
    TestBus core;
    addThree(core);
    char payload[] = "frame data";
    _EventParmsIn in = makeEvent(0x00770000, DVR_EVENT_KIND_0x8, 0x12, payload, sizeof payload);
    in.level = 3;
    in.frameType = 9;
    in.reserved3[132] = 0xEE;
    core.post(in);
    core.drain();

    ASSERT_EQ(receivers(), (std::vector<uint32_t>{kA, kB, kC}));
    const _WriteParmsIn &w = received[0].record;
    EXPECT_EQ(w.size, sizeof(_WriteParmsIn));
    EXPECT_EQ(w.version, 1u);
    EXPECT_EQ(w.isRead, 0);
    EXPECT_EQ(w.len, sizeof payload);
    EXPECT_NE(w.data, static_cast<void *>(payload));
    EXPECT_EQ(w.providerID, 0x00770000u);
    EXPECT_EQ(w.eventType, DVR_EVENT_KIND_0x8);
    EXPECT_EQ(w.flags, 0x12u);
    EXPECT_EQ(w.level, 3);
    EXPECT_EQ(w.frameType, 9);
    EXPECT_EQ(w.reserved3[132], 0xEE);
    EXPECT_EQ(received[1].record.data, w.data);
    EXPECT_EQ(received[2].record.data, w.data);
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u) << "freed after the last receiver";
}

TEST_F(DeliveryTest, SubscriptionsAndWritableDecideWhoReceives)
{
    TestBus core;
    core.addPlugin(kA, "a.so", recordingWrite<kA>, 0x00000000u);  // only flags 0
    core.addPlugin(kB, "b.so", recordingWrite<kB>, 0x02000000u);  // flags top bit 0x01000000
    core.addPlugin(kC, "c.so", recordingWrite<kC>, 0xFFFFFFFFu, /*writable=*/false);
    core.post(makeEvent(1, DVR_EVENT_KIND_0x10, 0));
    core.post(makeEvent(1, DVR_EVENT_KIND_0x10, 0x01000000u));
    core.post(makeEvent(1, DVR_EVENT_KIND_0x10, 0x80000000u));  // bit 31 drops out
    core.post(makeEvent(1, 0x0800, 0));                         // no subscription bit at all
    core.drain();
    EXPECT_EQ(receivers(), (std::vector<uint32_t>{kA, kB, kB, kA, kB}));
}

TEST_F(DeliveryTest, SubscriptionWordIsChosenByTheEventTypeBit)
{
    TestBus core;
    Subscriber &plugin = core.addPlugin(kA, "a.so", recordingWrite<kA>, 0);
    plugin.subscribe[DVR_SUBSCRIBE_0x400] = 0x4;  // kind 0x400 with flags 0x4 only
    core.post(makeEvent(1, DVR_EVENT_KIND_0x400, 0x4));
    core.post(makeEvent(1, DVR_EVENT_KIND_0x80, 0x4));
    core.post(makeEvent(1, DVR_EVENT_KIND_0x80 | DVR_EVENT_KIND_0x400, 0x4));
    core.drain();
    EXPECT_EQ(received.size(), 2u);
}

TEST_F(DeliveryTest, KeptBlockOutlivesTheLoopUntilReleased)
{
    TestBus core;
    addThree(core);
    keepers = {kB};
    char payload[] = "keep me";
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core.drain();
    void *block = received[1].record.data;
    ASSERT_TRUE(core.refBlockTable.contains(block));
    EXPECT_STREQ(static_cast<const char *>(block), "keep me");
    EXPECT_EQ(core.refBlockTable.census()[kB], 1u);

    // A release by someone else changes nothing; the keeper's frees it; a
    // second release by the keeper finds nothing to free.
    core.post(makeEvent(kA, DVR_EVENT_RELEASE, 0, block, 0));
    EXPECT_TRUE(core.refBlockTable.contains(block));
    core.post(makeEvent(kB, DVR_EVENT_RELEASE, 0, block, 0));
    EXPECT_FALSE(core.refBlockTable.contains(block));
    core.post(makeEvent(kB, DVR_EVENT_RELEASE, 0, block, 0));
}

TEST_F(DeliveryTest, EventsWithoutDataCreateNoBlock)
{
    TestBus core;
    addThree(core);
    keepers = {kA};
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8));
    core.drain();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].record.data, nullptr);
    EXPECT_EQ(received[0].record.len, 0u);
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

TEST_F(DeliveryTest, ConfigurationGoesToEveryOtherPluginsIoctl)
{
    TestBus core;
    core.addPlugin(kA, "a.so", recordingWrite<kA>).IOCTL = recordingIoctl<kA>;
    core.addPlugin(kB, "b.so", recordingWrite<kB>).IOCTL = recordingIoctl<kB>;
    // No interest: still called (IOCTL missing -> logged).
    core.addPlugin(kC, "c.so", recordingWrite<kC>, 0xFFFFFFFFu, /*writable=*/false);
    core.logLevels.set(0, 0);
    keepers = {kA};
    const char doc[] = "<Qarn Delta=\"1\"/>";
    // The core's listener gets the text (exactly len bytes) before any plugin.
    std::vector<std::string> heard;
    size_t ioctlsBeforeListener = 99;
    core.bus.onConfigDocument([&](std::string text) {
        heard.push_back(std::move(text));
        ioctlsBeforeListener = ioctlCalls.size();
    });
    // The sender gets its own event by Write only through another kind bit:
    // 0x100 itself has no subscription word.
    core.post(makeEvent(kB, DVR_EVENT_CONFIG | DVR_EVENT_KIND_0x8, DVR_FLAG_XML, doc, sizeof doc - 1));
    core.drain();
    EXPECT_EQ(heard, std::vector<std::string>{doc});
    EXPECT_EQ(ioctlsBeforeListener, 0u);

    ASSERT_EQ(ioctlCalls.size(), 1u);
    EXPECT_EQ(ioctlCalls[0].plugin, kA);
    EXPECT_EQ(ioctlRecords[0].code, IOCTL_UPDATE_CONFIG);
    EXPECT_EQ(ioctlRecords[0].paramSize, 16u);
    EXPECT_EQ(ioctlRecords[0].length, sizeof doc - 1);
    EXPECT_EQ(receivers(), std::vector<uint32_t>{kB}) << "the sender alone gets it by Write";
    EXPECT_TRUE(core.logged("plugin c.so update config returned -100 error 0"));
    EXPECT_TRUE(core.refBlockTable.contains(ioctlRecords[0].data)) << "kept by A";
    core.post(makeEvent(kA, DVR_EVENT_RELEASE, 0, ioctlRecords[0].data, 0));
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

TEST_F(DeliveryTest, ConfigurationWithoutDataStillReachesIoctl)
{
    TestBus core;
    core.addPlugin(kA, "a.so", nullptr).IOCTL = recordingIoctl<kA>;
    bool heard = false;
    core.bus.onConfigDocument([&](std::string) { heard = true; });
    core.post(makeEvent(kB, DVR_EVENT_CONFIG));
    core.drain();
    EXPECT_FALSE(heard) << "nothing to apply without data";
    ASSERT_EQ(ioctlRecords.size(), 1u);
    EXPECT_EQ(ioctlRecords[0].length, 0u);
    EXPECT_EQ(ioctlRecords[0].data, nullptr);
}

TEST_F(DeliveryTest, FailingAndMissingWritesAreLoggedAndDeliveryGoesOn)
{
    TestBus core;
    core.logLevels.set(0, 0);
    core.addPlugin(kA, "a.so", recordingWrite<kA>);
    core.addPlugin(kB, "b.so", nullptr);
    core.addPlugin(kC, "c.so", recordingWrite<kC>);
    writeResult = 3;
    writeError = 7;
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8));
    core.drain();
    EXPECT_EQ(receivers(), (std::vector<uint32_t>{kA, kC}));
    EXPECT_TRUE(core.logged("plugin a.so write returned 3 error 7"));
    EXPECT_TRUE(core.logged("plugin b.so write returned -100 error 0"));
    EXPECT_TRUE(core.logged("plugin c.so write returned 3 error 7"));
}

TestBus *liveBus = nullptr;
int sinkCalls = 0;

// A log sink that fails on every event. On its second call it stops the bus,
// so that the loop returns once the queue is empty.
int failingSinkWrite(const _WriteParmsIn *, _WriteParmsOut *)
{
    if (++sinkCalls == 2)
        liveBus->RequestStop();
    return 1;
}

TEST_F(DeliveryTest, AFailedWriteOfTheCoresOwnLogLineIsNotReported)
{
    // With the core's level-0 lines queued, the report of a failed write is a
    // log event itself: reported in turn, it would reach the same sink, fail
    // and be reported again, and the loop would never rest.
    TestBus core;
    liveBus = &core;
    sinkCalls = 0;
    core.logLevels.set(LogLevelTable::kCoreIndex, 0);
    core.addPlugin(kA, "sink.so", failingSinkWrite);
    _EventParmsIn line = makeEvent(kB, DVR_EVENT_LOG, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE,
                                   "hello", 6);
    line.level = 50;
    ASSERT_EQ(core.post(line), DVR_RESULT_OK);
    core.bus.runDeliveryLoop();
    liveBus = nullptr;

    EXPECT_EQ(sinkCalls, 2);  // the plugin's line, then the core's report of its failure
    int reports = 0;
    for (const LogLine &logged : core.logLines())
        reports += logged.text == "plugin sink.so write returned 1 error 0";
    EXPECT_EQ(reports, 1);
}

TEST_F(DeliveryTest, WritesOfSixMillisecondsOrMoreAreLogged)
{
    TestBus core;
    core.logLevels.set(0, 0);
    clockOwner = &core;
    core.addPlugin(kA, "slow.so", recordingWrite<kA>);
    char payload[1500] = {};
    writeCost = std::chrono::nanoseconds(5999999);
    core.post(makeEvent(0x00AB0000, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core.drain();
    EXPECT_FALSE(core.loggedPrefix("core write took"));

    TestBus core2;
    core2.logLevels.set(0, 0);
    clockOwner = &core2;
    core2.addPlugin(kA, "slow.so", recordingWrite<kA>);
    writeCost = std::chrono::milliseconds(6);
    core2.post(makeEvent(0x00AB0000, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core2.drain();
    EXPECT_TRUE(core2.logged("core write took 6ms, providerID ab0000, eventType: 8, len: " +
                             groupedNumber(1500) + " -> slow.so"));
}

TEST_F(DeliveryTest, WritesAreTimedOnlyWhenLevelZeroPassesAndNeverForLogEvents)
{
    TestBus core;
    clockOwner = &core;
    writeCost = std::chrono::milliseconds(50);
    core.addPlugin(kA, "slow.so", recordingWrite<kA>);
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8));  // threshold 25: not timed
    core.RequestStop();
    core.bus.runDeliveryLoop();
    EXPECT_FALSE(core.loggedPrefix("core write took"));

    TestBus timed;
    clockOwner = &timed;
    timed.logLevels.set(0, -1);
    timed.addPlugin(kA, "slow.so", recordingWrite<kA>);
    _EventParmsIn log = makeEvent(0x00090000, DVR_EVENT_LOG, 0);  // exactly 0x40: never timed
    timed.post(log);
    timed.post(makeEvent(0x00090000, DVR_EVENT_LOG | 0x1, 0));  // 0x41: timed
    timed.drain();
    int slow = 0;
    for (const LogLine &line : timed.logLines())
        slow += line.text.rfind("core write took 50ms, providerID 90000, eventType: 65", 0) == 0;
    EXPECT_EQ(slow, 1);
}

TEST_F(DeliveryTest, StopDeliversEverythingAlreadyQueued)
{
    TestBus core;
    core.addPlugin(kA, "a.so", recordingWrite<kA>);
    for (int i = 0; i < 100; ++i)
        core.post(makeEvent(1, DVR_EVENT_KIND_0x8));
    core.RequestStop();
    EXPECT_EQ(core.post(makeEvent(1, DVR_EVENT_KIND_0x8)), DVR_RESULT_REFUSED);
    core.bus.runDeliveryLoop();
    EXPECT_EQ(received.size(), 100u);
}

std::atomic<int> countedWrites{0};

int countingWrite(const _WriteParmsIn *, _WriteParmsOut *)
{
    ++countedWrites;
    return 0;
}

TEST_F(DeliveryTest, EveryAcceptedEventIsDeliveredWhenTheStopRacesIt)
{
    for (int round = 0; round < 20; ++round) {
        TestBus core;
        countedWrites = 0;
        core.addPlugin(kA, "a.so", countingWrite);
        core.startDelivery();
        std::atomic<int> accepted{0};
        std::vector<std::thread> producers;
        for (int t = 0; t < 2; ++t)
            producers.emplace_back([&] {
                char data[8] = {};
                while (core.post(makeEvent(kB, DVR_EVENT_KIND_0x8, 0, data, sizeof data)) == 0)
                    ++accepted;
            });
        while (accepted.load() < 200)
            std::this_thread::yield();
        core.stopDelivery();
        for (auto &p : producers)
            p.join();
        ASSERT_EQ(countedWrites.load(), accepted.load()) << "round " << round;
        ASSERT_EQ(core.queued(), 0u);
    }
}

int reentrantWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    // A plugin may post from inside Write; its event goes behind the queue.
    if (in->eventType == DVR_EVENT_KIND_0x8) {
        _EventParmsIn echo = makeEvent(kB, DVR_EVENT_KIND_0x10);
        _EventParmsOut out{sizeof out, 1, 0};
        TestBus::entry(&echo, &out);
    }
    std::lock_guard<std::mutex> lock(receivedMutex);
    received.push_back({kA, *in, bytesOf(in)});
    return 0;
}

TEST_F(DeliveryTest, ProducersOnManyThreadsLoseNothingAndKeepTheirOrder)
{
    TestBus core;
    core.addPlugin(kA, "a.so", reentrantWrite);
    core.startDelivery();
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                uint32_t seq = uint32_t(i);
                _EventParmsIn in = makeEvent(0x00400000u + (uint32_t(t) << 16), DVR_EVENT_KIND_0x8,
                                             0, &seq, sizeof seq);
                ASSERT_EQ(core.post(in), DVR_RESULT_OK);
            }
        });
    for (auto &p : producers)
        p.join();
    core.stopDelivery();

    std::vector<uint32_t> next(kThreads, 0);
    size_t echoes = 0;
    for (const Received &r : received) {
        if (r.record.eventType != DVR_EVENT_KIND_0x8) {
            ++echoes;
            continue;
        }
        const uint32_t t = (r.record.providerID - 0x00400000u) >> 16;
        ASSERT_LT(t, uint32_t(kThreads));
        uint32_t seq;
        ASSERT_EQ(r.bytes.size(), sizeof seq);
        std::memcpy(&seq, r.bytes.data(), sizeof seq);
        EXPECT_EQ(seq, next[t]++);
    }
    EXPECT_EQ(received.size() - echoes, size_t(kThreads * kEach));
    EXPECT_LE(echoes, size_t(kThreads * kEach)) << "echoes posted after the stop are refused";
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

std::vector<size_t> queuedDuringWrite;

// Releases the block from inside its Write (as a plugin handing it to a
// thread that finishes at once would), yet answers that it keeps it.
int releaseThenKeepWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    queuedDuringWrite.push_back(liveBus->queued());
    liveBus->post(makeEvent(kA, DVR_EVENT_RELEASE, 0, in->data, 0));
    out->keep = 1;
    return 0;
}

TEST_F(DeliveryTest, HoldsOfTheCurrentBlockAreExactDuringEveryCall)
{
    TestBus core;
    liveBus = &core;
    queuedDuringWrite.clear();
    core.addPlugin(kA, "a.so", releaseThenKeepWrite);
    core.addPlugin(kB, "b.so", recordingWrite<kB>);
    keepers = {kB};
    char payload[] = "frame";
    for (int i = 0; i < 3; ++i)
        core.post(makeEvent(1, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core.drain();
    liveBus = nullptr;

    // A's release came while it held the block, so its keep holds nothing:
    // only B's holds are left, and the data B got was intact.
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 3u);
    EXPECT_EQ(core.refBlockTable.census().count(kA), 0u);
    EXPECT_EQ(core.refBlockTable.census()[kB], 3u);
    ASSERT_EQ(received.size(), 3u);
    for (const Received &r : received) {
        EXPECT_EQ(r.bytes, std::string(payload, sizeof payload));
        core.post(makeEvent(kB, DVR_EVENT_RELEASE, 0, r.record.data, 0));
    }
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
    // Events taken from the queue together still count as queued until
    // they are delivered.
    EXPECT_EQ(queuedDuringWrite, (std::vector<size_t>{2, 1, 0}));
}

// Releases the block from inside its Write twice: under the core's name,
// then its own; notes whether the block is still in the table afterwards.
std::vector<bool> heldAfterRelease;
int releaseAsTheCoreWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    liveBus->post(makeEvent(kA, DVR_EVENT_RELEASE, 0, in->data, 0));
    _EventParmsIn asCore = makeEvent(DVR_PROVIDER_CORE, DVR_EVENT_RELEASE, 0, in->data, 0);
    liveBus->post(asCore);
    heldAfterRelease.push_back(liveBus->refBlockTable.contains(in->data));
    return 0;
}

TEST_F(DeliveryTest, AReleaseInTheCoresNameLeavesTheLoopsHoldAlone)
{
    TestBus core;
    liveBus = &core;
    heldAfterRelease.clear();
    core.addPlugin(kA, "a.so", releaseAsTheCoreWrite);
    core.addPlugin(kB, "b.so", recordingWrite<kB>);
    char payload[] = "still here for b";
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core.drain();
    liveBus = nullptr;

    // Only the loop gives up the core's hold: the block stays for B and
    // goes once, at the end of the event.
    EXPECT_EQ(heldAfterRelease, std::vector<bool>{true});
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].bytes, std::string(payload, sizeof payload));
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

TEST_F(DeliveryTest, APluginWithIdZeroCanKeepABlock)
{
    TestBus core;
    core.addPlugin(0, "zero.so", recordingWrite<0>);
    keepers = {0};
    char payload[] = "kept by zero";
    core.post(makeEvent(1, DVR_EVENT_KIND_0x8, 0, payload, sizeof payload));
    core.drain();
    ASSERT_EQ(received.size(), 1u);
    void *block = received[0].record.data;
    ASSERT_TRUE(core.refBlockTable.contains(block)) << "the loop must not free a kept block";
    EXPECT_EQ(core.refBlockTable.census()[0], 1u);
    EXPECT_STREQ(static_cast<const char *>(block), "kept by zero");
    core.post(makeEvent(0, DVR_EVENT_RELEASE, 0, block, 0));
    EXPECT_FALSE(core.refBlockTable.contains(block));
}

}  // namespace

// Plugins that keep blocks and give them up from other threads, during
// their calls and after them, while the delivery loop hands blocks out
// without the table's lock. Every hold must stay exact: no block freed while
// a keeper still reads it, none left over, none freed by a plugin that never
// held it.
struct HandOff {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<void *> toRelease;
    bool done = false;
};
HandOff handOff;
std::atomic<uint32_t> keptCalls{0};

int keepAndHandOffWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    const uint32_t n = keptCalls.fetch_add(1);
    if (n % 3 == 2)
        return 0;  // not kept
    out->keep = 1;
    std::unique_lock<std::mutex> lock(handOff.mutex);
    handOff.toRelease.push_back(in->data);
    handOff.changed.notify_all();
    if (n % 3 == 0)  // wait until the releaser gave it up: a release during the call
        handOff.changed.wait(lock, [&] {
            return std::find(handOff.toRelease.begin(), handOff.toRelease.end(), in->data) ==
                   handOff.toRelease.end();
        });
    return 0;
}

int checkingWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    // The data is intact whoever else holds or gave up the block.
    const auto *bytes = static_cast<const unsigned char *>(in->data);
    for (uint32_t i = 1; i < in->len; ++i)
        if (bytes[i] != bytes[0])
            return 1;
    return 0;
}

TEST_F(DeliveryTest, HoldsStayExactWhileOtherThreadsReleaseDuringAndAfterCalls)
{
    TestBus core;
    core.addPlugin(kA, "a.so", keepAndHandOffWrite);
    core.addPlugin(kB, "b.so", checkingWrite);
    keptCalls = 0;
    handOff.toRelease.clear();
    handOff.done = false;
    std::thread releaser([&] {
        std::unique_lock<std::mutex> lock(handOff.mutex);
        while (!handOff.done || !handOff.toRelease.empty()) {
            if (handOff.toRelease.empty()) {
                handOff.changed.wait(lock);
                continue;
            }
            void *block = handOff.toRelease.front();
            handOff.toRelease.erase(handOff.toRelease.begin());
            const unsigned char first = *static_cast<unsigned char *>(block);  // still held
            lock.unlock();
            EXPECT_NE(first, 0);
            // A plugin that never held the block gives it up: nothing happens.
            core.post(makeEvent(kC, DVR_EVENT_RELEASE, 0, block, 0));
            core.post(makeEvent(kA, DVR_EVENT_RELEASE, 0, block, 0));
            lock.lock();
            handOff.changed.notify_all();
        }
    });
    std::atomic<bool> watching{true};
    std::thread watcher([&] {
        while (watching) {
            const RefBlockTable::Counts counts = core.refBlockTable.counts();
            EXPECT_LE(counts.blockCount, 64u);
            EXPECT_EQ(core.refBlockTable.census().count(kC), 0u);
        }
    });

    core.startDelivery();
    constexpr int kEvents = 600;
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p)
        producers.emplace_back([&, p] {
            std::vector<unsigned char> payload(p ? 64 : 600);
            for (int i = 0; i < kEvents; ++i) {
                std::fill(payload.begin(), payload.end(), static_cast<unsigned char>(1 + i % 250));
                EXPECT_EQ(core.post(makeEvent(0x00400000u + (p << 16), DVR_EVENT_KIND_0x8, 0,
                                              payload.data(), uint32_t(payload.size()))),
                          DVR_RESULT_OK);
            }
        });
    for (auto &producer : producers)
        producer.join();
    core.stopDelivery();
    watching = false;
    {
        std::lock_guard<std::mutex> lock(handOff.mutex);
        handOff.done = true;
        handOff.changed.notify_all();
    }
    releaser.join();
    watcher.join();

    EXPECT_EQ(keptCalls.load(), 2u * kEvents);
    EXPECT_FALSE(core.loggedPrefix("plugin b.so write returned")) << "b saw a changed block";
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
    EXPECT_TRUE(core.refBlockTable.census().empty());
}
