#include "events/event_bus.h"

#include <cstdlib>
#include <cstring>

#include "log/logging.h"

EventBus::EventBus(TimeSource &clock, const LogLevelTable &logLevels, DvrEventEntry entry)
    : clock(clock),
      logLevels(logLevels),
      entry(entry),
      refBlockTable([this](const void *block) { requests.blockReleased(block); })
{
    freedBlocks.reserve(kFreedBlocksWaiting);
}

EventBus::~EventBus()
{
    // Records left here were never delivered: a bus whose loop never ran, or
    // events that raced the end of the loop.
    const auto freeData = [](const _EventParmsIn &record) { std::free(record.data); };
    batch.forEach(freeData);
    eventQueue.forEach(freeData);
    freeBlocks(freedBlocks);
}

int32_t EventBus::post(const _EventParmsIn &in)
{
    if (stopping())
        return DVR_RESULT_REFUSED;

    if ((in.eventType & (DVR_EVENT_VIDEO_FRAME | DVR_EVENT_AUDIO_FRAME)) &&
        (in.flags & DVR_FLAG_FLOW_CONTROL)) {
        const int verdict =
            gate.admit(in.providerID, in.eventType, in.frameType, throttlingActive.load() != 0);
        if (verdict != DVR_RESULT_OK)
            return verdict;
    }

    int32_t result = DVR_RESULT_OK;
    void *const data = copyData(in, result);
    if (result != DVR_RESULT_OK)
        return result;

    if (in.requestKey &&
        requests.admitAnswer(in.requestKey, data) == ReadRequests::Answer::Refused) {
        std::free(data);
        return DVR_RESULT_REFUSED;
    }
    if (!enqueue(in, data)) {
        if (data) {
            requests.blockReleased(data);
            std::free(data);
        }
        return DVR_RESULT_REFUSED;
    }
    return DVR_RESULT_OK;
}

// The bus's own heap copy of the producer's data, or null for an event with
// no data (a null pointer or a zero length). Sets `result` when out of memory.
void *EventBus::copyData(const _EventParmsIn &in, int32_t &result)
{
    if (!in.data || !in.len)
        return nullptr;
    void *copy = nullptr;
    if (blocksCached.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> lock(cacheMutex);
        copy = blockCache.take(in.len);
        blocksCached.store(!blockCache.empty(), std::memory_order_relaxed);
    }
    if (!copy)
        copy = std::malloc(in.len);
    if (!copy) {
        result = DVR_RESULT_NO_MEMORY;
        return nullptr;
    }
    std::memcpy(copy, in.data, in.len);
    return copy;
}

// Appends the producer's record, with the bus's copy of its data (or none),
// to the queue; false when a stop was requested first, since the
// delivery loop may already have drained the queue for the last time.
bool EventBus::enqueue(const _EventParmsIn &in, void *data)
{
    bool wakeLoop;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (stopping())
            return false;
        _EventParmsIn &record = eventQueue.append();
        record = in;
        record.data = data;
        if (!data)
            record.len = 0;
        wakeLoop = loopSleeping;
        loopSleeping = false;  // one signal is enough for any number of records
    }
    if (wakeLoop)
        queueCondition.notify_one();
    return true;
}

void EventBus::release(void *data, uint32_t holder)
{
    // The core's hold is the delivery loop's, and only the loop gives it up:
    // a release in the core's name, with the plugin's own, would free a block
    // the loop is still handing to the next plugins, and free it again at
    // the end of the event.
    if (holder == DVR_PROVIDER_CORE)
        return;
    refBlockTable.drop(data, holder);
}

void EventBus::setThrottling(bool active)
{
    throttlingActive = active ? 1 : 0;
    std::vector<BlockCache::Block> released;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        blockCache.setEnabled(!active, released);
        blocksCached.store(!blockCache.empty(), std::memory_order_relaxed);
    }
    freeBlocks(released);
}

void EventBus::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopRequested = 1;
    }
    queueCondition.notify_all();
    // A read thread waiting to hand over its next block gives up: nothing
    // would deliver it once the queue is drained.
    requests.stop();
}

size_t EventBus::queued()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return eventQueue.size() + batchUndelivered.load();
}

Subscriber &EventBus::addSubscriber(Subscriber subscriber)
{
    subscribers.push_back(std::move(subscriber));
    return subscribers.back();
}
