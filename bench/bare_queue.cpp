#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "reference_queues.h"

void runBareQueue(const ProducerLoad &load, int plugins, DvrWriteFn write)
{
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;

    std::thread consumer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (int64_t delivered = 0; delivered < load.events; ++delivered) {
            condition.wait(lock, [&] { return !queue.empty(); });
            const _EventParmsIn event = queue.front();
            queue.pop_front();
            lock.unlock();
            _WriteParmsIn in;
            std::memset(&in, 0, sizeof in);
            in.size = sizeof in;
            in.len = event.len;
            in.data = event.data;
            in.providerID = event.providerID;
            in.eventType = event.eventType;
            for (int p = 0; p < plugins; ++p) {
                _WriteParmsOut out{};
                write(&in, &out);
            }
            std::free(event.data);
            lock.lock();
        }
    });
    std::vector<std::thread> threads;
    for (int p = 0; p < load.producers; ++p)
        threads.emplace_back([&, p] {
            _EventParmsIn in;
            std::memset(&in, 0, sizeof in);
            in.providerID = 0x00200000u + (uint32_t(p) << 16);
            in.eventType = DVR_EVENT_KIND_0x8;
            load.produce(p, [&](const uint8_t *data, uint32_t len) {
                _EventParmsIn record = in;
                if (len) {
                    record.data = std::malloc(len);
                    std::memcpy(record.data, data, len);
                    record.len = len;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    queue.push_back(record);
                }
                condition.notify_one();
            });
        });
    for (auto &thread : threads)
        thread.join();
    consumer.join();
}
