#include "support/test_core.h"

#include <cstring>

TestCore::~TestCore()
{
    if (delivery.joinable())
        stopDelivery();
}

void TestCore::WriteLog(uint32_t providerID, uint32_t level, const char *text)
{
    std::lock_guard<std::mutex> lock(logMutex);
    lines.push_back({providerID, level, text ? text : ""});
}

std::vector<LogLine> TestCore::logLines()
{
    std::lock_guard<std::mutex> lock(logMutex);
    return lines;
}

bool TestCore::logged(const std::string &text)
{
    for (const LogLine &line : logLines())
        if (line.text == text)
            return true;
    return false;
}

bool TestCore::loggedPrefix(const std::string &prefix)
{
    for (const LogLine &line : logLines())
        if (line.text.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

PLUGININFO &TestCore::addPlugin(uint32_t id, const char *fileName, DvrWriteFn write,
                                uint32_t subscribeAll, bool writable)
{
    PLUGININFO plugin;
    plugin.Write = write;
    plugin.loadOut.size = sizeof plugin.loadOut;
    plugin.loadOut.version = DVR_LOAD_OUT_VERSION;
    plugin.loadOut.pluginId = id;
    for (uint32_t &word : plugin.loadOut.subscribe)
        word = subscribeAll;
    plugin.loadOut.writable = writable ? 1 : 0;
    plugin.fileName = fileName;
    plugins.push_back(std::move(plugin));
    return plugins.back();
}

int TestCore::post(_EventParmsIn in)
{
    _EventParmsOut out{sizeof(_EventParmsOut), DVR_EVENT_PARMS_VERSION, 0};
    dvrcoreEventEntry(&in, &out);
    return out.result;
}

void TestCore::startDelivery()
{
    delivery = std::thread([this] { runDeliveryLoop(); });
}

void TestCore::stopDelivery()
{
    RequestStop();
    if (delivery.joinable())
        delivery.join();
}

void TestCore::drain()
{
    RequestStop();
    runDeliveryLoop();
}

size_t TestCore::queued()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return eventQueue.size();
}

_EventParmsIn makeEvent(uint32_t providerID, uint32_t eventType, uint32_t flags,
                        const void *data, uint32_t len)
{
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.providerID = providerID;
    in.eventType = eventType;
    in.flags = flags;
    in.data = const_cast<void *>(data);
    in.len = len;
    return in;
}
