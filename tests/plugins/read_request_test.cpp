// Read requests: read threads in the matching plugins, their answers,
// cancellation, back-pressure, and waiting for them before unloading.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_host.h"

namespace {

constexpr uint32_t kReader = 0x00300000;
constexpr uint32_t kOther = 0x00310000;
constexpr auto kPatience = std::chrono::seconds(10);

// What the fake readers saw and how they behave; reset by each test.
struct ReaderScript {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> requests;  // "key:data" per Read call
    std::vector<int> answers;           // result of each answer posted
    int answersPerRead = 0;             // answers with data posted on entry
    int answersAfterHold = 0;           // answers posted once the hold is released
    bool holdInRead = false;            // Read blocks until released
    bool released = false;

    template <typename Pred>
    bool waitFor(Pred pred, std::chrono::milliseconds patience = kPatience)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, patience, pred);
    }
} script;

void postAnswers(uint32_t key, int count)
{
    for (int i = 0; i < count; ++i) {
        char answer[8] = "answer";
        _EventParmsIn event = makeEvent(kReader, DVR_EVENT_KIND_0x8, 0, answer, sizeof answer);
        event.requestKey = key;
        _EventParmsOut out{sizeof out, 1, 0};
        TestBus::entry(&event, &out);
        std::lock_guard<std::mutex> lock(script.mutex);
        script.answers.push_back(out.result);
        script.changed.notify_all();
    }
}

int fakeRead(const _ReadParmsIn *in, _ReadParmsOut *)
{
    {
        std::lock_guard<std::mutex> lock(script.mutex);
        std::string data = in->data ? std::string(static_cast<const char *>(in->data), in->len) : "";
        script.requests.push_back(std::to_string(in->requestKey) + ":" + data);
        script.changed.notify_all();
    }
    postAnswers(in->requestKey, script.answersPerRead);
    {
        std::unique_lock<std::mutex> lock(script.mutex);
        script.changed.wait(lock, [] { return !script.holdInRead || script.released; });
    }
    postAnswers(in->requestKey, script.answersAfterHold);
    return 0;
}

class ReadRequestTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(script.mutex);
        script.requests.clear();
        script.answers.clear();
        script.answersPerRead = 0;
        script.answersAfterHold = 0;
        script.holdInRead = false;
        script.released = false;
    }
    void TearDown() override { release(); }

    void release()
    {
        std::lock_guard<std::mutex> lock(script.mutex);
        script.released = true;
        script.changed.notify_all();
    }

    PLUGININFO &addReader(TestHost &core, uint32_t id, uint32_t subscribe, bool readable = true)
    {
        return core.addPlugin(id, "reader.so", fakeRead, nullptr, subscribe, readable);
    }

    int request(TestHost &core, uint32_t key, const char *data, uint32_t flags = 0,
                uint32_t type = DVR_EVENT_KIND_0x8)
    {
        _EventParmsIn in = makeEvent(DVR_PROVIDER_TO_CORE, type, flags, data,
                                     data ? static_cast<uint32_t>(std::strlen(data)) : 0);
        in.requestKey = key;
        return core.post(in);
    }
};

TEST_F(ReadRequestTest, RequestStartsOneThreadPerMatchingReadablePlugin)
{
    TestHost core;
    addReader(core, kReader, 0xFFFFFFFFu);
    addReader(core, kOther, 0xFFFFFFFFu, /*readable=*/false);
    addReader(core, 0x00320000, 0x00000001u);  // wants only match value 1
    addReader(core, 0x00330000, 0x00000001u);
    EXPECT_EQ(request(core, 7, "abc", /*flags=*/0x1), DVR_RESULT_OK);
    ASSERT_TRUE(script.waitFor([] { return script.requests.size() == 3; }));
    EXPECT_EQ(request(core, 8, nullptr, /*flags=*/0x2), DVR_RESULT_OK);
    ASSERT_TRUE(script.waitFor([] { return script.requests.size() == 4; }));
    std::lock_guard<std::mutex> lock(script.mutex);
    EXPECT_EQ(std::count(script.requests.begin(), script.requests.end(), "7:abc"), 3);
    EXPECT_EQ(script.requests.back(), "8:");
    EXPECT_EQ(core.queued(), 0u) << "requests to the core are never queued";
}

TEST_F(ReadRequestTest, RequestMatchMovesTheFlagsTopByteDown)
{
    TestHost core;
    // Flags 0x02000000 match a word holding 0x01000000 for requests.
    addReader(core, kReader, 0x01000000u);
    request(core, 1, "x", 0x02000000u);
    ASSERT_TRUE(script.waitFor([] { return script.requests.size() == 1; }));
}

TEST_F(ReadRequestTest, AnswersNeedALiveUncancelledRequestThread)
{
    TestHost core;
    _EventParmsIn stray = makeEvent(kReader, DVR_EVENT_KIND_0x8);
    stray.requestKey = 5;
    EXPECT_EQ(core.post(stray), DVR_RESULT_REFUSED) << "not posted from a read thread";

    addReader(core, kReader, 0xFFFFFFFFu);
    script.answersPerRead = 1;
    _EventParmsIn cancel = makeEvent(DVR_PROVIDER_TO_CORE, DVR_EVENT_CANCEL_REQUEST);
    cancel.requestKey = 9;
    core.post(cancel);
    // A new request with the key clears its cancellation before the thread runs.
    request(core, 9, "q");
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 1; }));
    EXPECT_EQ(script.answers[0], DVR_RESULT_OK);
    EXPECT_EQ(core.queued(), 1u);
}

TEST_F(ReadRequestTest, CancelledKeyRefusesAnswers)
{
    TestHost core;
    addReader(core, kReader, 0xFFFFFFFFu);
    script.holdInRead = true;
    script.answersAfterHold = 1;
    request(core, 11, "q");
    ASSERT_TRUE(script.waitFor([] { return script.requests.size() == 1; }));
    _EventParmsIn cancel = makeEvent(DVR_PROVIDER_TO_CORE, DVR_EVENT_CANCEL_REQUEST);
    cancel.requestKey = 11;
    core.post(cancel);
    release();
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 1; }));
    EXPECT_EQ(script.answers[0], DVR_RESULT_REFUSED);
    EXPECT_EQ(core.queued(), 0u);
}

TEST_F(ReadRequestTest, OneBlockInFlightPerReadThread)
{
    TestHost core;
    addReader(core, kReader, 0xFFFFFFFFu);
    script.answersPerRead = 2;
    request(core, 3, "q");
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 1; }));
    // The second answer waits while the first block is still queued...
    EXPECT_FALSE(script.waitFor([] { return script.answers.size() == 2; },
                                std::chrono::milliseconds(100)));
    EXPECT_EQ(core.queued(), 1u);
    // ...and goes through once the delivery loop has released it.
    core.startDelivery();
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 2; }));
    EXPECT_EQ(script.answers[1], DVR_RESULT_OK);
}

TEST_F(ReadRequestTest, StopReleasesAnAnswerWaitingForItsBlock)
{
    TestHost core;
    addReader(core, kReader, 0xFFFFFFFFu);
    script.answersPerRead = 2;
    request(core, 3, "q");
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 1; }));
    core.RequestStop();
    ASSERT_TRUE(script.waitFor([] { return script.answers.size() == 2; }));
    EXPECT_EQ(script.answers[1], DVR_RESULT_REFUSED);
}

TEST_F(ReadRequestTest, RetiringAPluginWaitsForItsReadThreads)
{
    TestHost core;
    addReader(core, kReader, 0xFFFFFFFFu);
    script.holdInRead = true;
    request(core, 4, "q");
    ASSERT_TRUE(script.waitFor([] { return script.requests.size() == 1; }));
    EXPECT_EQ(core.readRequests.runningThreads(kReader), 1);

    std::atomic<bool> retired{false};
    std::thread unloader([&] {
        core.readRequests.retire(kReader);
        retired = true;
    });
    EXPECT_FALSE(script.waitFor([&] { return retired.load(); }, std::chrono::milliseconds(100)));
    release();
    unloader.join();
    EXPECT_TRUE(retired.load());
    EXPECT_EQ(core.readRequests.runningThreads(kReader), 0);

    // A retired plugin gets no new read threads.
    request(core, 5, "q");
    EXPECT_EQ(core.readRequests.runningThreads(kReader), 0);
}

}  // namespace
