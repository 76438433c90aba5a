// The delivery loop: takes queued events one at a time and hands each to the
// plugins that take it, sharing one data block among all of them.
#include "events/event_bus.h"
#include "events/records.h"

namespace {

// Writes this long or longer are logged (at the core's level 0).
constexpr auto kSlowWrite = std::chrono::milliseconds(6);

}  // namespace

void EventBus::runDeliveryLoop()
{
    statusReport.start(clock.Now());
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        if (eventQueue.empty()) {
            if (stopping())
                return;
            queueCondition.wait(lock);
            continue;
        }
        const _EventParmsIn event = eventQueue.front();
        eventQueue.pop_front();
        statusReport.countEvent();
        const size_t queueLeft = eventQueue.size();
        lock.unlock();
        deliverEvent(event, queueLeft);
        lock.lock();
    }
}

void EventBus::deliverEvent(const _EventParmsIn &event, size_t queueLeft)
{
    refBlockTable.add(event.data, event.len, DVR_PROVIDER_CORE);
    const TimeSource::Clock::time_point now = clock.Now();
    if (statusReport.due(now))
        statusReport.write(now, queueLeft, gate, refBlockTable, entry);

    // Configuration documents go to every other plugin's IOCTL; the sender
    // gets its own document through Write, like any other event.
    const uint32_t match = DVR_MATCH_VALUE(event.flags);
    const bool config = (event.eventType & DVR_EVENT_CONFIG) != 0;
    if (config && event.data && event.len != 0 && configListener)
        configListener(std::string(static_cast<const char *>(event.data), event.len));
    for (const Subscriber &plugin : subscribers) {
        if (config && plugin.pluginId != event.providerID)
            updatePluginConfig(plugin, event);
        else if (plugin.writable && subscriptionMatches(plugin.subscribe, event.eventType, match))
            writeToPlugin(plugin, event);
    }
    release(event.data, DVR_PROVIDER_CORE);
}

void EventBus::writeToPlugin(const Subscriber &plugin, const _EventParmsIn &event)
{
    const _WriteParmsIn in = writeRecordFor(event);
    _WriteParmsOut out = writeAnswerPreset();
    refBlockTable.add(event.data, event.len, plugin.pluginId);

    // Writes are timed only while the core's level-0 messages pass; log events
    // are never timed, so the slow-write message cannot feed on itself.
    const bool timed =
        logLevels.get(LogLevelTable::kCoreIndex) <= 0 && event.eventType != DVR_EVENT_LOG;
    const auto start = timed ? clock.Now() : TimeSource::Clock::time_point{};
    const int result = plugin.Write ? plugin.Write(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    const auto end = timed ? clock.Now() : TimeSource::Clock::time_point{};

    if (result != 0 || out.error != 0)
        log(0, "plugin %s write returned %d error %d", plugin.fileName.c_str(), result, out.error);
    if (timed && end - start >= kSlowWrite) {
        const long long ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
        log(0, "core write took %lldms, providerID %x, eventType: %d, len: %s -> %s", ms,
            event.providerID, static_cast<int>(event.eventType), groupedNumber(event.len).c_str(),
            plugin.fileName.c_str());
    }
    if (out.keep == 0)
        release(event.data, plugin.pluginId);
}

void EventBus::updatePluginConfig(const Subscriber &plugin, const _EventParmsIn &event)
{
    refBlockTable.add(event.data, event.len, plugin.pluginId);
    const _IoctlParmsIn in = ioctlRecord(IOCTL_UPDATE_CONFIG, event.len, event.data);
    _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_UPDATE_CONFIG);
    const int result = plugin.IOCTL ? plugin.IOCTL(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    if (result != 0 || out.error != 0)
        log(0, "plugin %s update config returned %d error %d", plugin.fileName.c_str(), result,
            out.error);
    if (out.keep == 0)
        release(event.data, plugin.pluginId);
}
