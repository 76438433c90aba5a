#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "reference_queues.h"

void runBareQueue(uint32_t size, int producers, int64_t events, int plugins, DvrWriteFn write)
{
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<_EventParmsIn> queue;
    std::vector<uint8_t> payload(size ? size : 1, 0x5A);

    std::thread consumer([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (int64_t delivered = 0; delivered < events; ++delivered) {
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
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            _EventParmsIn in;
            std::memset(&in, 0, sizeof in);
            in.providerID = 0x00200000u + (uint32_t(p) << 16);
            in.eventType = DVR_EVENT_KIND_0x8;
            for (int64_t i = p; i < events; i += producers) {
                _EventParmsIn record = in;
                if (size) {
                    record.data = std::malloc(size);
                    std::memcpy(record.data, payload.data(), size);
                    record.len = size;
                }
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    queue.push_back(record);
                }
                condition.notify_one();
            }
        });
    for (auto &thread : threads)
        thread.join();
    consumer.join();
}
