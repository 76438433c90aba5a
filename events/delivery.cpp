// The delivery loop: takes queued events one at a time and hands each to the
// plugins that take it, sharing one data block among all of them.
#include <cstddef>
#include <cstring>

#include "core/dvrcore.h"
#include "events/status_report.h"
#include "events/subscription.h"

namespace {

constexpr auto kReportInterval = std::chrono::seconds(60);
constexpr auto kSlowWrite = std::chrono::nanoseconds(6000000);

_WriteParmsIn writeRecordFor(const _EventParmsIn &event)
{
    _WriteParmsIn record;
    std::memset(&record, 0, offsetof(_WriteParmsIn, len));
    record.size = sizeof record;
    record.version = DVR_RECORD_VERSION;
    // The event's fields from len on sit at the same relative offsets.
    std::memcpy(&record.len, &event.len, sizeof event - offsetof(_EventParmsIn, len));
    return record;
}

}  // namespace

void dvrcore::runDeliveryLoop()
{
    lastReportTime = Now();
    eventsCounter = 0;
    std::unique_lock<std::mutex> lock(queueMutex);
    for (;;) {
        if (eventQueue.empty()) {
            if (stopRequested.load())
                return;
            queueCondition.wait(lock);
            continue;
        }
        const _EventParmsIn event = eventQueue.front();
        eventQueue.pop_front();
        ++eventsCounter;
        const size_t queueLeft = eventQueue.size();
        lock.unlock();
        deliverEvent(event, queueLeft);
        lock.lock();
    }
}

void dvrcore::deliverEvent(const _EventParmsIn &event, size_t queueLeft)
{
    refBlockTable.add(event.data, event.len, DVR_PROVIDER_CORE);
    if (Now() - lastReportTime >= kReportInterval)
        statusReport(queueLeft);

    const uint32_t match = deliveryMatchValue(event.flags);
    const bool config = (event.eventType & DVR_EVENT_CONFIG) != 0;
    if (config && event.data && event.len)
        postConfigApply(std::string(static_cast<const char *>(event.data), event.len));

    for (PLUGININFO &plugin : plugins) {
        if (config && plugin.pluginId() != event.providerID)
            updatePluginConfig(plugin, event);
        else if (plugin.loadOut.writable &&
                 subscriptionMatches(plugin.loadOut.subscribe, event.eventType, match))
            writeToPlugin(plugin, event);
    }
    releaseBlock(event.data, DVR_PROVIDER_CORE);
}

void dvrcore::writeToPlugin(PLUGININFO &plugin, const _EventParmsIn &event)
{
    const _WriteParmsIn in = writeRecordFor(event);
    _WriteParmsOut out{};
    out.size = sizeof out;
    out.version = DVR_RECORD_VERSION;
    const uint32_t holder = plugin.pluginId();
    refBlockTable.add(event.data, event.len, holder);

    // Writes are timed only while the core's level-0 messages pass; log events
    // are never timed, so the slow-write message cannot feed on itself.
    const bool timed = logLevels.get(0) <= 0 && event.eventType != DVR_EVENT_LOG;
    const Clock::time_point start = timed ? Now() : Clock::time_point{};
    const int result = plugin.Write ? plugin.Write(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    const Clock::time_point end = timed ? Now() : Clock::time_point{};

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
        releaseBlock(event.data, holder);
}

void dvrcore::updatePluginConfig(PLUGININFO &plugin, const _EventParmsIn &event)
{
    const uint32_t holder = plugin.pluginId();
    refBlockTable.add(event.data, event.len, holder);
    _IoctlParmsIn in{sizeof(_IoctlParmsIn), DVR_RECORD_VERSION, IOCTL_UPDATE_CONFIG, 16,
                     1, event.len, event.data};
    _IoctlParmsOut out{sizeof(_IoctlParmsOut), DVR_RECORD_VERSION, IOCTL_UPDATE_CONFIG, 0, 0, 8, 1};
    const int result = plugin.IOCTL ? plugin.IOCTL(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    if (result != 0 || out.error != 0)
        log(0, "plugin %s update config returned %d error %d", plugin.fileName.c_str(), result,
            out.error);
    if (out.keep == 0)
        releaseBlock(event.data, holder);
}

void dvrcore::statusReport(size_t queueLeft)
{
    lastReportTime = Now();
    const RefBlockTable::Counts counts = refBlockTable.counts();
    // Taking the throttled counters resets them in the same step, so frames
    // dropped while the report is written are counted in the next one.
    log(25, "core event queue size: %zu, throttledframes:[v:%s a:%s], events:%s, refblks: %s (%s bytes)",
        queueLeft, groupedNumber(frameGate.takeThrottledVideo()).c_str(),
        groupedNumber(frameGate.takeThrottledAudio()).c_str(), groupedNumber(eventsCounter).c_str(),
        groupedNumber(counts.blockCount).c_str(), groupedNumber(counts.byteCount).c_str());
    log(25, "Top - %s", formatTopHolders(refBlockTable.census()).c_str());
    eventsCounter = 0;
}
