// The event entry: which component each kind of event reaches, log messages
// and queries, the stop, data copies, releases and parent packets, and what
// it does with malformed records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <string>
#include <vector>

#include "events/event_entry.h"
#include "support/test_bus.h"

namespace {

constexpr uint32_t kPlugin = 0x00050000;

// What a recording plugin received: the record and its data during the call.
struct Written {
    _WriteParmsIn record;
    std::string bytes;
};
std::vector<Written> writes;

int recordWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    writes.push_back({*in, in->data ? std::string(static_cast<const char *>(in->data)) : ""});
    return 0;
}

int logEvent(TestBus &core, uint32_t provider, int32_t level, const char *text)
{
    _EventParmsIn in = makeEvent(provider, DVR_EVENT_LOG, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE,
                                 text, static_cast<uint32_t>(std::strlen(text) + 1));
    in.level = level;
    return core.post(in);
}

int levelQuery(TestBus &core, uint32_t provider)
{
    _EventParmsOut out{sizeof out, 1, 1234};
    _EventParmsIn in = makeEvent(provider, DVR_EVENT_LOG, DVR_FLAG_LOG_QUERY);
    core.PluginEvent(&in, &out);
    return out.result;
}

TEST(EventEntryLog, QueryAnswersTheSourceThreshold)
{
    TestBus core;
    EXPECT_EQ(levelQuery(core, DVR_PROVIDER_CORE), 25);
    EXPECT_EQ(levelQuery(core, kPlugin), -1);
    core.logLevels.set(5, 60);
    EXPECT_EQ(levelQuery(core, kPlugin), 60);
    EXPECT_EQ(levelQuery(core, kPlugin | 0x1234), 60) << "the low 16 bits do not select the entry";
}

TEST(EventEntryLog, SourcesOutsideTheTableReadAsUnset)
{
    TestBus core;
    EXPECT_EQ(levelQuery(core, 0x00FF0000), -1);  // index 255
    EXPECT_EQ(levelQuery(core, 0x0FFF0000), -1);  // index 4095
    // Unset: written, and queued unless level 0.
    EXPECT_EQ(logEvent(core, 0x0FFF0000, 0, "quiet"), 0);
    EXPECT_EQ(logEvent(core, 0x0FFF0000, 1, "loud"), 0);
    EXPECT_EQ(core.logLines().size(), 2u);
    EXPECT_EQ(core.queued(), 1u);
}

TEST(EventEntryLog, UnsetThresholdWritesAllButQueuesOnlyAboveZero)
{
    TestBus core;
    logEvent(core, kPlugin, 0, "level zero");
    EXPECT_TRUE(core.logged("level zero"));
    EXPECT_EQ(core.queued(), 0u);
    logEvent(core, kPlugin, 5, "level five");
    EXPECT_TRUE(core.logged("level five"));
    EXPECT_EQ(core.queued(), 1u);
}

TEST(EventEntryLog, ThresholdFiltersBelowAndPassesAtOrAbove)
{
    TestBus core;
    logEvent(core, DVR_PROVIDER_CORE, 24, "below");
    logEvent(core, DVR_PROVIDER_CORE, 25, "at");
    EXPECT_FALSE(core.logged("below"));
    EXPECT_TRUE(core.logged("at"));
    EXPECT_EQ(core.queued(), 1u);
    ASSERT_EQ(core.logLines().size(), 1u);
    EXPECT_EQ(core.logLines()[0].level, 25u);
    EXPECT_EQ(core.logLines()[0].providerID, DVR_PROVIDER_CORE);
}

TEST(EventEntryLog, StoppingStillLogsAndAnswersButQueuesNothing)
{
    TestBus core;
    core.RequestStop();
    EXPECT_EQ(levelQuery(core, DVR_PROVIDER_CORE), 25);
    EXPECT_EQ(logEvent(core, DVR_PROVIDER_CORE, 50, "late"), DVR_RESULT_REFUSED);
    EXPECT_TRUE(core.logged("late"));
    EXPECT_EQ(core.queued(), 0u);
}

TEST(EventEntryLog, TextIsReadOnlyWithinTheProducersLength)
{
    TestBus core;
    // Not NUL-terminated within len: only len bytes may be read.
    char text[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    _EventParmsIn in = makeEvent(kPlugin, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE, text, 3);
    in.level = 50;
    core.post(in);
    EXPECT_TRUE(core.logged("abc"));
    // A length past the line limit is cut to 511 characters.
    std::string longText(2000, 'x');
    in = makeEvent(kPlugin, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE, longText.c_str(), 2001);
    in.level = 50;
    core.post(in);
    EXPECT_TRUE(core.logged(std::string(511, 'x')));
    // Null data with a length writes nothing and queues no data.
    in = makeEvent(kPlugin, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE, nullptr, 100);
    in.level = 50;
    EXPECT_EQ(core.post(in), DVR_RESULT_OK);
    EXPECT_EQ(core.logLines().size(), 2u);
}

TEST(EventEntry, StopRefusesOrdinaryEvents)
{
    TestBus core;
    core.RequestStop();
    EXPECT_EQ(core.post(makeEvent(kPlugin, DVR_EVENT_KIND_0x8)), DVR_RESULT_REFUSED);
    EXPECT_EQ(core.queued(), 0u);
}

TEST(EventEntry, QueuesItsOwnCopyOfTheData)
{
    writes.clear();
    TestBus core;
    core.addPlugin(0x00060000, "recorder.so", recordWrite);
    char buffer[16] = "original";
    EXPECT_EQ(core.post(makeEvent(kPlugin, DVR_EVENT_KIND_0x8, 0, buffer, sizeof buffer)), 0);
    std::strcpy(buffer, "changed");
    EXPECT_EQ(core.queued(), 1u);
    core.drain();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_NE(writes[0].record.data, buffer);
    EXPECT_EQ(writes[0].record.len, sizeof buffer);
    EXPECT_STREQ(writes[0].bytes.c_str(), "original");
}

TEST(EventEntry, EitherHalfOfMissingDataMeansNoData)
{
    writes.clear();
    TestBus core;
    core.addPlugin(0x00060000, "recorder.so", recordWrite);
    char buffer[4] = "abc";
    core.post(makeEvent(kPlugin, DVR_EVENT_KIND_0x8, 0, buffer, 0));
    core.post(makeEvent(kPlugin, DVR_EVENT_KIND_0x8, 0, nullptr, 1u << 30));
    core.drain();
    ASSERT_EQ(writes.size(), 2u);
    for (const Written &written : writes) {
        EXPECT_EQ(written.record.data, nullptr);
        EXPECT_EQ(written.record.len, 0u);
    }
}

TEST(EventEntry, CarriesEveryOtherByteUnchanged)
{
    writes.clear();
    TestBus core;
    core.addPlugin(0x00060000, "recorder.so", recordWrite);
    _EventParmsIn in = makeEvent(kPlugin, 0x80000008u, 0xABCDEF12u);
    for (size_t i = 0; i < sizeof in.reserved3; ++i)
        in.reserved3[i] = static_cast<uint8_t>(i);
    in.reserved1[3] = 9;
    in.frameType = 77;
    core.post(in);
    core.drain();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::memcmp(&writes[0].record.len, &in.len, sizeof in - offsetof(_EventParmsIn, len)), 0);
}

TEST(EventEntry, ReleaseOfUnknownPointerFreesNothing)
{
    TestBus core;
    // A block the core never handed out: releasing it must leave it alone
    // (the sanitizer runs would report a bad free).
    char *foreign = static_cast<char *>(std::malloc(32));
    std::strcpy(foreign, "still mine");
    _EventParmsOut out{sizeof out, 1, 42};
    _EventParmsIn in = makeEvent(kPlugin, DVR_EVENT_RELEASE, 0, foreign, 32);
    TestBus::entry(&in, &out);
    EXPECT_EQ(out.result, 42) << "a release leaves the result alone";
    EXPECT_STREQ(foreign, "still mine");
    std::free(foreign);
    char onStack[4];
    core.post(makeEvent(kPlugin, DVR_EVENT_RELEASE, 0, onStack, 4));
}

TEST(EventEntry, UnknownTypesAndFlagsAreQueued)
{
    TestBus core;
    EXPECT_EQ(core.post(makeEvent(kPlugin, 0xFFFFFF00u, 0xFFFFFFFFu)), DVR_RESULT_OK);
    EXPECT_EQ(core.post(makeEvent(0xDEADBEEF, 0)), DVR_RESULT_OK);
    EXPECT_EQ(core.queued(), 2u);
}

// Stands in for the layer above the bus, counting what reaches it.
struct CountingUpstream : EventEntry::Upstream {
    static constexpr int32_t kParentResult = 7;  // handed back as the result word
    int32_t queueParentPacket(void *data, uint32_t) override
    {
        std::free(data);
        ++parentPackets;
        return kParentResult;
    }
    void serveCoreRequest(const _EventParmsIn &) override { ++coreRequests; }
    int parentPackets = 0;
    int coreRequests = 0;
};

TEST(EventEntry, EachKindOfEventReachesItsHandler)
{
    enum Handler { kRelease, kParent, kCore, kQueue, kLogAndQueue, kAnswer };
    constexpr int32_t kUntouched = 42;
    struct Case {
        const char *what;
        uint32_t provider;
        uint32_t type;
        uint32_t flags;
        bool withOut;
        Handler handler;
        int32_t result;
    };
    const Case cases[] = {
        {"ordinary event", kPlugin, DVR_EVENT_KIND_0x8, 0, true, kQueue, DVR_RESULT_OK},
        {"release", kPlugin, DVR_EVENT_RELEASE, 0, true, kRelease, kUntouched},
        {"release from provider 0", 0, DVR_EVENT_RELEASE, 0, true, kRelease, kUntouched},
        {"parent packet", kPlugin, DVR_EVENT_PARENT_PACKET, 0, true, kParent,
         CountingUpstream::kParentResult},
        {"parent packet from provider 0", 0, DVR_EVENT_PARENT_PACKET, 0, true, kParent,
         CountingUpstream::kParentResult},
        {"parent packet, no out", kPlugin, DVR_EVENT_PARENT_PACKET, 0, false, kParent, kUntouched},
        {"request to the core", 0, DVR_EVENT_KIND_0x8, 0, true, kCore, DVR_RESULT_OK},
        {"log event addressed to the core", 0, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE, true, kCore,
         DVR_RESULT_OK},
        {"log message", kPlugin, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE, true, kLogAndQueue,
         DVR_RESULT_OK},
        {"log query", kPlugin, DVR_EVENT_LOG, DVR_FLAG_LOG_QUERY, true, kAnswer, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TestBus core;
        CountingUpstream upstream;
        EventEntry entry(core.bus, core.router, upstream);
        // A block the provider holds; only a release may drop it.
        void *held = std::malloc(16);
        core.refBlockTable.add(held, 16, c.provider);
        char text[] = "routed";
        void *data = text;
        if (c.handler == kRelease)
            data = held;
        else if (c.handler == kParent)
            data = std::malloc(sizeof text);  // the handler's from the call on
        _EventParmsIn in = makeEvent(c.provider, c.type, c.flags, data, sizeof text);
        in.level = 50;
        _EventParmsOut out{sizeof out, 1, kUntouched};
        entry.dispatch(&in, c.withOut ? &out : nullptr);

        EXPECT_EQ(!core.refBlockTable.contains(held), c.handler == kRelease) << "released";
        EXPECT_EQ(upstream.parentPackets, c.handler == kParent ? 1 : 0);
        EXPECT_EQ(upstream.coreRequests, c.handler == kCore ? 1 : 0);
        EXPECT_EQ(core.queued(), c.handler == kQueue || c.handler == kLogAndQueue ? 1u : 0u);
        EXPECT_EQ(core.logLines().size(), c.handler == kLogAndQueue ? 1u : 0u);
        EXPECT_EQ(out.result, c.withOut ? c.result : kUntouched);
        if (core.refBlockTable.contains(held))
            core.refBlockTable.drop(held, c.provider);
    }
}

}  // namespace
