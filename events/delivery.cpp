// The delivery loop: takes every queued event at once and hands each, in
// order, to the plugins that take it, sharing one data block among them.
#include "events/event_bus.h"
#include "events/records.h"

namespace {

// Writes this long or longer are logged (at the core's level 0).
constexpr auto kSlowWrite = std::chrono::milliseconds(6);

}  // namespace

void EventBus::runDeliveryLoop()
{
    statusReport.start(clock.Now());
    while (takeBatch()) {
        // In queue order, with no lock held; batchUndelivered tells queued()
        // what has not been delivered yet.
        batch.drain([this](const _EventParmsIn &event) {
            const size_t left = batch.size();
            batchUndelivered.store(left, std::memory_order_relaxed);
            statusReport.countEvent();
            deliverEvent(event, left);
        });
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        eventQueue.moveSparesBeyond(0, batch);
    }
    batch.freeSpares();
}

// Waits until something is queued and takes all of it, in order, into
// `batch`. False when a stop was requested and nothing is left to deliver.
bool EventBus::takeBatch()
{
    cacheFreedBlocks();
    std::unique_lock<std::mutex> lock(queueMutex);
    while (eventQueue.empty()) {
        if (stopping())
            return false;
        if (trimBeforeSleep(lock))
            continue;  // the lock was let go: look again
        loopSleeping = true;
        queueCondition.wait(lock);
    }
    loopSleeping = false;
    eventQueue.takeAll(batch);
    batchUndelivered.store(batch.size(), std::memory_order_relaxed);
    return true;
}

// Hands the blocks the loop freed to the cache; what it does not keep is
// freed.
void EventBus::cacheFreedBlocks()
{
    if (freedBlocks.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        blockCache.keep(freedBlocks);
        blocksCached.store(!blockCache.empty(), std::memory_order_relaxed);
    }
    freeBlocks(freedBlocks);
    freedBytes = 0;
}

// The loop was the last holder of the block at `data`: a read thread waiting
// for it to go is told, and the block waits for the cache, which takes the
// waiting blocks once they add up to a few, so that a loop that never sleeps
// parks no more than that.
void EventBus::disposeOf(void *data, uint32_t len)
{
    requests.blockReleased(data);
    if (len < BlockCache::kMinBlockBytes) {
        std::free(data);
        return;
    }
    const BlockCache::Block block = BlockCache::blockAt(data);
    if (block.size > BlockCache::kMaxBlockBytes) {
        std::free(data);
        return;
    }
    freedBlocks.push_back(block);
    freedBytes += block.size;
    if (freedBlocks.size() >= kFreedBlocksWaiting || freedBytes >= kFreedBytesWaiting)
        cacheFreedBlocks();
}

// Before the loop sleeps, what a burst left behind goes back to the heap:
// spare chunks beyond a few, and the bookkeeping. False when there was
// nothing to give back (the lock was held throughout).
bool EventBus::trimBeforeSleep(std::unique_lock<std::mutex> &lock)
{
    {
        std::lock_guard<std::mutex> cacheLock(cacheMutex);  // always after queueMutex
        blockCache.shrink();
    }
    eventQueue.reuseSpares(batch);
    eventQueue.moveSparesBeyond(RecordQueue::kSpareChunks, batch);
    if (batch.spareChunks() == 0)
        return false;
    lock.unlock();
    batch.freeSpares();
    lock.lock();
    return true;
}

// The records still waiting behind the one being delivered: the rest of the
// batch and whatever producers queued since it was taken.
size_t EventBus::waitingBehind(size_t batchLeft)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return batchLeft + eventQueue.size();
}

// One Write: every event's path to every plugin, so inline; the clock is
// read around the call only when writes are timed. The event's receivers
// are handed the same read-only Write record in turn.
inline void EventBus::writeToPlugin(const Subscriber &plugin, const _EventParmsIn &event,
                                    const _WriteParmsIn &record, bool timed,
                                    DeliveryHolds &holds)
{
    _WriteParmsOut out = writeAnswerPreset();
    holds.beforeCall(plugin.pluginId);
    const auto start = timed ? clock.Now() : TimeSource::Clock::time_point{};
    const int result = plugin.Write ? plugin.Write(&record, &out) : DVR_ENTRY_NOT_EXPORTED;
    const auto end = timed ? clock.Now() : TimeSource::Clock::time_point{};
    if (result != 0 || out.error != 0)
        writeFailed(plugin, event, result, out.error);
    if (timed)
        noteWriteTime(plugin, event, end - start);
    holds.afterCall(plugin.pluginId, out.keep != 0);
}

void EventBus::deliverEvent(const _EventParmsIn &event, size_t batchLeft)
{
    // From here the table counts the block as the loop's, so the report
    // counts the block being delivered.
    DeliveryHolds holds(refBlockTable, event.data, event.len);
    const TimeSource::Clock::time_point now = clock.Now();
    if (statusReport.due(now)) {
        statusReport.write(now, waitingBehind(batchLeft), gate, refBlockTable, entry);
    }

    // Configuration documents go to every other plugin's IOCTL; the sender
    // gets its own document through Write, like any other event.
    const uint32_t match = DVR_MATCH_VALUE(event.flags);
    const bool config = (event.eventType & DVR_EVENT_CONFIG) != 0;
    if (config && event.data && event.len != 0 && configListener)
        configListener(std::string(static_cast<const char *>(event.data), event.len));
    // Writes are timed only while the core's level-0 messages pass; log
    // events are never timed, so the slow-write message cannot feed on
    // itself.
    const bool timed =
        logLevels.get(LogLevelTable::kCoreIndex) <= 0 && event.eventType != DVR_EVENT_LOG;
    const _WriteParmsIn record = writeRecordFor(event);
    for (const Subscriber &plugin : subscribers) {
        if (config && plugin.pluginId != event.providerID)
            updatePluginConfig(plugin, event, holds);
        else if (plugin.writable && subscriptionMatches(plugin.subscribe, event.eventType, match))
            writeToPlugin(plugin, event, record, timed, holds);
    }
    if (holds.finish())
        disposeOf(event.data, event.len);
}

// A timed write that took kSlowWrite or longer is logged.
void EventBus::noteWriteTime(const Subscriber &plugin, const _EventParmsIn &event,
                             TimeSource::Clock::duration took)
{
    if (took < kSlowWrite)
        return;
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    log(0, "core write took %lldms, providerID %x, eventType: %d, len: %s -> %s", ms,
        event.providerID, static_cast<int>(event.eventType), groupedNumber(event.len).c_str(),
        plugin.fileName.c_str());
}

// A failure to take one of the core's own log lines is not reported: the
// report would be one more of them, and a plugin that fails on every log
// event would keep the loop reporting its failures to it for ever.
void EventBus::writeFailed(const Subscriber &plugin, const _EventParmsIn &event, int result,
                           int error)
{
    const bool ownLogLine =
        event.providerID == DVR_PROVIDER_CORE && (event.eventType & DVR_EVENT_LOG) != 0;
    if (!ownLogLine)
        log(0, "plugin %s write returned %d error %d", plugin.fileName.c_str(), result, error);
}

void EventBus::updatePluginConfig(const Subscriber &plugin, const _EventParmsIn &event,
                                  DeliveryHolds &holds)
{
    holds.beforeCall(plugin.pluginId);
    const _IoctlParmsIn in = ioctlRecord(IOCTL_UPDATE_CONFIG, event.len, event.data);
    _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_UPDATE_CONFIG);
    const int result = plugin.IOCTL ? plugin.IOCTL(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
    if (result != 0 || out.error != 0)
        log(0, "plugin %s update config returned %d error %d", plugin.fileName.c_str(), result,
            out.error);
    holds.afterCall(plugin.pluginId, out.keep != 0);
}
