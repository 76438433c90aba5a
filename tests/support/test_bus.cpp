#include "support/test_bus.h"

#include <cstdlib>
#include <cstring>

#include "plugin/dvrplugin_helpers.h"

namespace {

std::atomic<TestBus *> live{nullptr};

}  // namespace

void CapturedLog::WriteLog(uint32_t providerID, uint32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(mutex);
    captured.push_back({providerID, level, text ? text : ""});
}

std::vector<LogLine> CapturedLog::lines()
{
    std::lock_guard<std::mutex> lock(mutex);
    return captured;
}

TestBus::TestBus()
{
    logLevels.set(LogLevelTable::kCoreIndex, 25);
    defaultLogLevels.set(LogLevelTable::kCoreIndex, 25);
    sourceNames.set(DVR_PROVIDER_CORE, "core");
    live.store(this);
}

TestBus::~TestBus()
{
    if (delivery.joinable())
        stopDelivery();
    bus.readRequests().stop();
    bus.readRequests().waitForAll();
    live.store(nullptr);
}

int TestBus::entry(const _EventParmsIn *in, _EventParmsOut *out)
{
    TestBus *self = live.load();
    if (self)
        return self->PluginEvent(in, out);
    if (out)
        out->result = DVR_RESULT_REFUSED;
    return 0;
}

int TestBus::PluginEvent(const _EventParmsIn *in, _EventParmsOut *out)
{
    events.dispatch(in, out);
    return 0;
}

int32_t TestBus::queueParentPacket(void *data, uint32_t)
{
    std::free(data);  // no parent link here
    return DVR_RESULT_REFUSED;
}

void TestBus::serveCoreRequest(const _EventParmsIn &request)
{
    if (coreRequests)
        coreRequests(request);
}

int TestBus::post(_EventParmsIn in)
{
    _EventParmsOut out{sizeof(_EventParmsOut), DVR_EVENT_PARMS_VERSION, 0};
    entry(&in, &out);
    return out.result;
}

bool TestBus::logged(const std::string &text)
{
    for (const LogLine &line : logLines())
        if (line.text == text)
            return true;
    return false;
}

bool TestBus::loggedPrefix(const std::string &prefix)
{
    for (const LogLine &line : logLines())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

Subscriber &TestBus::addPlugin(uint32_t id, const char *fileName, DvrWriteFn write,
                               uint32_t subscribeAll, bool writable)
{
    Subscriber plugin;
    plugin.pluginId = id;
    plugin.Write = write;
    for (uint32_t &word : plugin.subscribe)
        word = subscribeAll;
    plugin.writable = writable;
    plugin.fileName = fileName;
    return bus.addSubscriber(std::move(plugin));
}

void TestBus::startDelivery()
{
    delivery = std::thread([this] { bus.runDeliveryLoop(); });
}

void TestBus::stopDelivery()
{
    bus.requestStop();
    if (delivery.joinable())
        delivery.join();
}

void TestBus::drain()
{
    bus.requestStop();
    bus.runDeliveryLoop();
}

_EventParmsIn makeEvent(uint32_t providerID, uint32_t eventType, uint32_t flags,
                        const void *data, uint32_t len)
{
    _EventParmsIn in = dvr_event_in(providerID, eventType, flags);
    in.data = const_cast<void *>(data);
    in.len = len;
    return in;
}
