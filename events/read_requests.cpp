#include "events/read_requests.h"

void ReadRequests::cancel(uint32_t requestKey)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    cancelledRequests.insert(requestKey);
}

void ReadRequests::uncancel(uint32_t requestKey)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    cancelledRequests.erase(requestKey);
}

bool ReadRequests::beginThread(uint32_t pluginId)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    if (retired.count(pluginId))
        return false;
    ++running[pluginId];
    return true;
}

void ReadRequests::abandonThread(uint32_t pluginId)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    if (--running[pluginId] == 0)
        idle.notify_all();
}

void ReadRequests::enterThread()
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    readThreads.try_emplace(std::this_thread::get_id());
}

void ReadRequests::leaveThread(uint32_t pluginId)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    auto it = readThreads.find(std::this_thread::get_id());
    if (it != readThreads.end()) {
        if (it->second.pending)
            pendingBlocks.fetch_sub(1);
        readThreads.erase(it);
    }
    if (--running[pluginId] == 0)
        idle.notify_all();
}

ReadRequests::Answer ReadRequests::admitAnswer(uint32_t requestKey, const void *block)
{
    std::unique_lock<std::mutex> lock(readRequestMutex);
    auto it = readThreads.find(std::this_thread::get_id());
    if (cancelledRequests.count(requestKey) || it == readThreads.end())
        return Answer::Refused;
    if (!block)
        return Answer::Accepted;
    Waiter &waiter = it->second;
    waiter.wake.wait(lock, [&] { return waiter.pending == nullptr || stopping; });
    if (waiter.pending)
        return Answer::Refused;  // stopping: the answer would never be delivered
    waiter.pending = block;
    pendingBlocks.fetch_add(1);
    return Answer::Accepted;
}

void ReadRequests::blockReleased(const void *block)
{
    // Most blocks are not answers to read requests: skip the lock then.
    if (pendingBlocks.load() == 0)
        return;
    std::lock_guard<std::mutex> lock(readRequestMutex);
    for (auto &entry : readThreads) {
        Waiter &waiter = entry.second;
        if (waiter.pending == block) {
            waiter.pending = nullptr;
            pendingBlocks.fetch_sub(1);
            waiter.wake.notify_one();
        }
    }
}

void ReadRequests::stop()
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    stopping = true;
    for (auto &entry : readThreads)
        entry.second.wake.notify_all();
}

void ReadRequests::retire(uint32_t pluginId)
{
    std::unique_lock<std::mutex> lock(readRequestMutex);
    retired.insert(pluginId);
    idle.wait(lock, [&] { return running[pluginId] == 0; });
}

int ReadRequests::runningThreads(uint32_t pluginId)
{
    std::lock_guard<std::mutex> lock(readRequestMutex);
    auto it = running.find(pluginId);
    return it == running.end() ? 0 : it->second;
}

void ReadRequests::waitForAll()
{
    std::unique_lock<std::mutex> lock(readRequestMutex);
    idle.wait(lock, [&] {
        for (const auto &entry : running)
            if (entry.second != 0)
                return false;
        return true;
    });
}
