// The plainest queue one would write, the reference every benchmark compares
// the event bus with: post() copies the data into a malloc block and appends
// the record to a deque under a mutex, signalling a condition variable; the
// delivery loop takes one record at a time, hands it to each subscribed
// plugin's Write and frees the block, unless plugins kept it: then the last
// release() frees it. No key-frame gate, no block table beyond that count.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "events/records.h"
#include "events/subscription.h"

class BareQueue {
public:
    void addSubscriber(Subscriber subscriber) { subscribers.push_back(std::move(subscriber)); }

    int32_t post(const _EventParmsIn &in)
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

    // Delivers until requestStop() finds the queue empty.
    void runDeliveryLoop()
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

    void requestStop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        condition.notify_all();
    }

    void release(void *data, uint32_t)
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

    // Nothing queued and no block held.
    bool drained()
    {
        std::scoped_lock lock(mutex, keptMutex);
        return queue.empty() && keepers.empty();
    }

private:
    void deliver(const _EventParmsIn &event)
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

    std::vector<Subscriber> subscribers;
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;
    bool stopping = false;
    std::mutex keptMutex;
    std::unordered_map<void *, uint32_t> keepers;  // block -> plugins still holding it
};
