#include "recorder_load_target.h"

#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "events/records.h"
#include "log/log_levels.h"

namespace recorder_load {
namespace {

class BusTarget : public LoadTarget {
public:
    BusTarget() { logLevels.set(LogLevelTable::kCoreIndex, 25); }  // the core's start level
    const char *name() const override { return "dvrcore"; }
    void addSubscriber(Subscriber subscriber) override { bus.addSubscriber(std::move(subscriber)); }
    int32_t post(const _EventParmsIn &in) override { return bus.post(in); }
    void release(void *data, uint32_t holder) override { bus.release(data, holder); }
    void runDeliveryLoop() override { bus.runDeliveryLoop(); }
    void requestStop() override { bus.requestStop(); }
    bool drained() override { return bus.queued() == 0 && bus.blocks().counts().blockCount == 0; }

private:
    SystemClock clock;
    LogLevelTable logLevels;
    EventBus bus{clock, logLevels, noEntry};
};

class BareQueueTarget : public LoadTarget {
public:
    const char *name() const override { return "bare queue"; }
    void addSubscriber(Subscriber subscriber) override
    {
        subscribers.push_back(std::move(subscriber));
    }
    int32_t post(const _EventParmsIn &in) override;
    void release(void *data, uint32_t holder) override;
    void runDeliveryLoop() override;
    void requestStop() override;
    bool drained() override;

private:
    void deliver(const _EventParmsIn &event);

    std::vector<Subscriber> subscribers;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;
    bool stopping = false;
    std::mutex keptMutex;
    std::unordered_map<void *, uint32_t> keepers;  // block -> plugins still holding it
};

int32_t BareQueueTarget::post(const _EventParmsIn &in)
{
    _EventParmsIn record = in;
    record.data = nullptr;
    if (in.data && in.len) {
        record.data = std::malloc(in.len);
        std::memcpy(record.data, in.data, in.len);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(record);
    }
    condition.notify_one();
    return DVR_RESULT_OK;
}

void BareQueueTarget::runDeliveryLoop()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        condition.wait(lock, [&] { return !queue.empty() || stopping; });
        if (queue.empty())
            return;
        const _EventParmsIn event = queue.front();
        queue.pop_front();
        lock.unlock();
        deliver(event);
        lock.lock();
    }
}

void BareQueueTarget::deliver(const _EventParmsIn &event)
{
    const uint32_t match = DVR_MATCH_VALUE(event.flags);
    uint32_t kept = 0;
    for (const Subscriber &plugin : subscribers) {
        if (!plugin.writable || !subscriptionMatches(plugin.subscribe, event.eventType, match))
            continue;
        const _WriteParmsIn in = writeRecordFor(event);
        _WriteParmsOut out = writeAnswerPreset();
        plugin.Write(&in, &out);
        kept += out.keep != 0;
    }
    if (kept == 0) {
        std::free(event.data);
        return;
    }
    std::lock_guard<std::mutex> lock(keptMutex);
    keepers[event.data] = kept;
}

void BareQueueTarget::release(void *data, uint32_t)
{
    {
        std::lock_guard<std::mutex> lock(keptMutex);
        auto it = keepers.find(data);
        if (it == keepers.end() || --it->second != 0)
            return;
        keepers.erase(it);
    }
    std::free(data);
}

void BareQueueTarget::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    condition.notify_all();
}

bool BareQueueTarget::drained()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::lock_guard<std::mutex> keptLock(keptMutex);
    return queue.empty() && keepers.empty();
}

}  // namespace

std::unique_ptr<LoadTarget> makeLoadTarget(bool reference)
{
    if (reference)
        return std::make_unique<BareQueueTarget>();
    return std::make_unique<BusTarget>();
}

}  // namespace recorder_load
