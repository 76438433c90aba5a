// The event entry with records from fake plugins: random _EventParmsIn records
// of every type, flag, length and provider, releases of blocks held, no
// longer held or never held, read requests and cancellations, log events and
// parent packets, posted through the entry of a real bus with seven fuzzed
// plugins and a sentinel, delivered, and at the end drained.
//
// Checked on the way: every answer is the one the interface gives
// (entry_model.h); every accepted event reaches exactly the plugins it
// matches, once, with its record and data as posted; a block a plugin keeps
// stays as it was until that plugin releases it. At the end, once the
// plugins have released what they kept, the block table is empty, and
// libFuzzer's leak check finds nothing left.
#include <chrono>
#include <cstring>
#include <vector>

#include "fake_plugins.h"
#include "fuzz_check.h"
#include "packet_model.h"

namespace {

template <typename T, size_t N>
T pick(FuzzedDataProvider &input, const T (&choices)[N])
{
    return input.PickValueInArray(choices);
}

uint32_t pickProvider(FuzzedDataProvider &input)
{
    static const uint32_t providers[] = {kPluginIds[0], kPluginIds[1], kPluginIds[2],
                                         kPluginIds[kSentinel], DVR_PROVIDER_CORE, 0x00FF0000,
                                         0x0FFF0000, 0x00010000};
    const uint32_t provider = input.ConsumeBool() ? pick(input, providers)
                                                  : input.ConsumeIntegral<uint32_t>();
    return provider == DVR_PROVIDER_TO_CORE ? 1 : provider;
}

uint32_t pickType(FuzzedDataProvider &input)
{
    static const uint32_t combined[] = {0x3, 0x41, 0x101, 0x140, 0x7FF, 0x43};
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return combined[input.ConsumeIntegralInRange<size_t>(0, 5)];
    case 1: return input.ConsumeIntegral<uint32_t>();
    default: return 1u << input.ConsumeIntegralInRange(0, 15);
    }
}

uint32_t pickFlags(FuzzedDataProvider &input)
{
    static const uint32_t flags[] = {0, DVR_FLAG_LOG_QUERY, DVR_FLAG_LOG_MESSAGE, 3, DVR_FLAG_XML,
                                     DVR_FLAG_FLOW_CONTROL, DVR_FLAG_FLOW_CONTROL | 2,
                                     DVR_FLAG_FLOW_CONTROL | 1, DVR_FLAG_FLOW_CONTROL | 0x10,
                                     0x80000000, 0xFF000000};
    return input.ConsumeBool() ? pick(input, flags) : input.ConsumeIntegral<uint32_t>();
}

uint32_t pickLength(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 15)) {
    case 0: return input.ConsumeIntegralInRange<uint32_t>(513, 8192);
    case 1:  // the largest the block cache keeps, and one more
        return 128 * 1024 + input.ConsumeIntegralInRange<uint32_t>(0, 1);
    case 2: return input.ConsumeIntegralInRange<uint32_t>(1, 200000);
    case 3:  // a few of these fill the block cache
        return input.ConsumeIntegralInRange<uint32_t>(16 * 1024, 128 * 1024);
    case 4: return input.ConsumeIntegralInRange<uint32_t>(17, 512);
    default: return input.ConsumeIntegralInRange<uint32_t>(1, 16);
    }
}

uint32_t pickSubscription(FuzzedDataProvider &input)
{
    static const uint32_t words[] = {0, 0xFFFFFFFF, 0x00FFFFFF, 0xFE000000, 0x2, 0x10};
    return input.ConsumeBool() ? pick(input, words) : input.ConsumeIntegral<uint32_t>();
}

class Run {
public:
    explicit Run(FuzzedDataProvider &input) : input(input), events(core)
    {
        world = &events;
        for (uint32_t index = 0; index < LogLevelTable::kSize; ++index)
            events.model.setLevel(index, core.logLevels.get(index));
        for (int p = 0; p < kPlugins; ++p) {
            FakePlugin &plugin = events.plugins[p];
            plugin.id = kPluginIds[p];
            plugin.subscribe = p == kSentinel ? 0xFFFFFFFFu : pickSubscription(input);
            plugin.writable = p == kSentinel || p == kReader || input.ConsumeIntegralInRange(0, 7);
            plugin.script = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 16));
        }
        // The reader is a plugin of the host, which serves read requests; it
        // exports no IOCTL. The others take configuration documents.
        events.plugins[kReader].hasIoctl = false;
        core.addPlugin(kPluginIds[kReader], "reader", fakeRead, fakeWrite(kReader),
                       events.plugins[kReader].subscribe);
        for (int p = 1; p < kPlugins; ++p) {
            const FakePlugin &plugin = events.plugins[p];
            Subscriber &subscriber =
                core.TestBus::addPlugin(plugin.id, p == kSentinel ? "sentinel" : "plugin",
                                        fakeWrite(p), plugin.subscribe, plugin.writable);
            subscriber.IOCTL = fakeIoctl(p);
        }
        core.startDelivery();
    }

    ~Run() { world = nullptr; }

    void step()
    {
        switch (input.ConsumeIntegralInRange(0, 15)) {
        case 0: releaseByPlugin(); break;
        case 1: toParent(); break;
        case 2: readRequest(); break;
        case 3: cancel(); break;
        case 4: deliver(); break;
        case 5: setLevel(); break;
        case 6: setThrottling(input.ConsumeBool()); break;
        case 7: moveClock(); break;
        case 8:
            if (input.ConsumeIntegralInRange(0, 7) == 0)
                stop();
            break;
        default: postEvent(); break;
        }
    }

    // Stops, lets every plugin release what it kept, and checks that nothing
    // is left.
    void finish()
    {
        stop();
        for (FakePlugin &plugin : events.plugins)
            while (!plugin.kept.empty())
                events.releaseKept(plugin, plugin.kept.size() - 1);
        fuzzCheck(core.queued() == 0, "nothing left in the queue");
        const RefBlockTable::Counts counts = core.refBlockTable.counts();
        fuzzCheck(counts.blockCount == 0 && counts.byteCount == 0 &&
                      core.refBlockTable.census().empty(),
                  "every block released and freed");
    }

private:
    void postEvent()
    {
        _EventParmsIn in = dvr_event_in(pickProvider(input), pickType(input), pickFlags(input));
        if (in.eventType == DVR_EVENT_PARENT_PACKET)
            return toParent();
        if (input.ConsumeIntegralInRange(0, 4) == 0)
            in.requestKey = input.ConsumeIntegral<uint32_t>();
        static const int32_t levels[] = {0, 1, 24, 25, 26, 50, 100, -1};
        in.level = input.ConsumeBool() ? pick(input, levels) : input.ConsumeIntegral<int32_t>();
        in.frameType = input.ConsumeIntegralInRange<uint8_t>(0, 2);
        const uint64_t serial = events.newSerial();
        std::vector<uint8_t> data;
        switch (input.ConsumeIntegralInRange(0, 5)) {
        case 0: break;                                // no data
        case 1: in.len = pickLength(input); break;     // a length without data
        case 2: data.resize(8); in.data = data.data(); break;  // data of length 0
        default:
            data.resize(pickLength(input));
            fillData(data.data(), static_cast<uint32_t>(data.size()), serial);
            in.data = data.data();
            in.len = static_cast<uint32_t>(data.size());
        }
        setTag(in, serial, Kind::Posted);
        events.post(in);
        std::fill(data.begin(), data.end(), 0xEE);  // the producer reuses its buffer
    }

    void releaseByPlugin()
    {
        FakePlugin &plugin = events.plugins[input.ConsumeIntegralInRange(0, kPlugins - 2)];
        if (input.ConsumeBool() && !plugin.kept.empty()) {
            events.releaseKept(plugin,
                               input.ConsumeIntegralInRange<size_t>(0, plugin.kept.size() - 1));
            return;
        }
        const uint8_t variant = input.ConsumeIntegralInRange<uint8_t>(0, 4);
        // A block the plugin released before may have its address again, in
        // an event on its way to the plugin: the core counts the plugin as a
        // holder from just before its call, and a second release would drop
        // that hold. A plugin cannot tell; the target releases such pointers
        // only while nothing is on its way.
        if (variant == 0)
            deliver();
        Kept *middle = nullptr;
        for (FakePlugin &other : events.plugins)
            if (!other.kept.empty())
                middle = &other.kept.front();
        events.releaseForeign(plugin, variant, middle ? middle->data : nullptr,
                              middle ? middle->len : 0);
    }

    void toParent()
    {
        _EventParmsIn in = dvr_event_in(pickProvider(input), DVR_EVENT_PARENT_PACKET, 0);
        if (input.ConsumeIntegralInRange(0, 4) != 0) {
            in.len = pickLength(input) % 4096;
            in.data = std::malloc(in.len + 1);  // the entry takes it, even with length 0
        }
        events.post(in);
    }

    void cancel()
    {
        _EventParmsIn in = dvr_event_in(DVR_PROVIDER_TO_CORE, DVR_EVENT_CANCEL_REQUEST, 0);
        in.requestKey = input.ConsumeIntegralInRange<uint32_t>(0, 4);
        events.post(in);
    }

    void readRequest();

    void deliver()
    {
        if (!stopped)
            events.deliverAll();
    }

    void setLevel()
    {
        static const uint32_t indexes[] = {LogLevelTable::kCoreIndex, 5, 6, 7, 8, 9};
        static const int8_t levels[] = {-1, 0, 1, 25, 50, 100};
        const uint32_t index = input.ConsumeBool() ? pick(input, indexes)
                                                   : input.ConsumeIntegralInRange<uint32_t>(0, 300);
        const int8_t level =
            input.ConsumeBool() ? pick(input, levels) : input.ConsumeIntegral<int8_t>();
        core.logLevels.set(index, level);
        events.model.setLevel(index, level);
    }

    void setThrottling(bool active)
    {
        core.bus.setThrottling(active);
        events.model.setThrottling(active);
    }

    void moveClock()
    {
        using std::chrono::milliseconds;
        if (input.ConsumeBool())
            core.advance(std::chrono::seconds(61));  // a status report is due
        else
            core.clock.stepEachReading(milliseconds(input.ConsumeIntegralInRange(0, 7)));
    }

    void stop()
    {
        if (stopped)
            return;
        events.deliverAll();
        events.openGate();
        core.stopDelivery();
        events.model.stop();
        stopped = true;
    }

    FuzzedDataProvider &input;
    TestHost core;
    World events;
    bool stopped = false;
};

// A read request and what its thread does. The bus is quiet before and after
// it, so the thread's answers are the only events delivered meanwhile.
void Run::readRequest()
{
    ReadJob job;
    job.requestKey = input.ConsumeBool() ? input.ConsumeIntegralInRange<uint32_t>(0, 4)
                                         : input.ConsumeIntegral<uint32_t>();
    job.withData = input.ConsumeBool();
    job.len = job.withData || input.ConsumeBool() ? pickLength(input) % 1024 + 1 : 0;
    job.serial = events.newSerial();
    const int steps = input.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < steps; ++i) {
        ReadJob::Step step{};
        step.cancel = input.ConsumeIntegralInRange(0, 4) == 0;
        step.keyChoice = input.ConsumeIntegralInRange(0, 2);
        // No configuration documents: they go to IOCTL, whose record cannot
        // tell an answer, which no plugin may keep.
        step.eventType = pickType(input) & ~DVR_EVENT_CONFIG;
        if (step.eventType == DVR_EVENT_RELEASE || step.eventType == DVR_EVENT_PARENT_PACKET)
            step.eventType = DVR_EVENT_KIND_0x80;
        step.flags = pickFlags(input);
        step.frameType = input.ConsumeIntegralInRange<uint8_t>(0, 1);
        step.len = input.ConsumeIntegralInRange<uint32_t>(0, 511);
        job.steps.push_back(step);
    }

    _EventParmsIn request = dvr_event_in(DVR_PROVIDER_TO_CORE, pickType(input), pickFlags(input));
    if (request.eventType == DVR_EVENT_RELEASE || request.eventType == DVR_EVENT_PARENT_PACKET ||
        request.eventType == DVR_EVENT_CANCEL_REQUEST)
        request.eventType = DVR_EVENT_KIND_0x80;
    request.requestKey = job.requestKey;
    std::vector<uint8_t> data(job.withData ? job.len : 0);
    fillData(data.data(), static_cast<uint32_t>(data.size()), job.serial);
    request.data = job.withData ? data.data() : nullptr;
    request.len = job.len;

    const FakePlugin &reader = events.plugins[kReader];
    const int expectedCalls =
        kindsMatch(request.eventType, reader.subscribe, readRequestMatchValue(request.flags));
    deliver();
    events.readJob = job;
    events.openGate();
    events.post(request);
    std::fill(data.begin(), data.end(), 0xEE);
    core.readRequests.waitForAll();
    fuzzCheck(events.readJob.calls == expectedCalls,
              "a read thread exactly in each matching reader");
    deliver();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    Run run(input);
    for (int steps = 0; steps < 200 && input.remaining_bytes() > 0; ++steps)
        run.step();
    run.finish();
    return 0;
}
