// Bookkeeping of read requests and the threads that serve them.
//
// A read request from a plugin starts one short-lived thread per matching
// readable plugin. While such a thread is inside the plugin's Read, events it
// posts with a request key are answers to the request; each answer with data
// waits until the previous block of that thread has been released by every
// holder (one block in flight per thread). Cancelled keys refuse answers.
//
// Threads are counted per plugin so that a plugin is never unloaded while one
// of them is still inside it: retire() refuses new threads for the plugin and
// waits for the running ones.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

class ReadRequests {
public:
    enum class Answer { Accepted, Refused };

    void cancel(uint32_t requestKey);
    void uncancel(uint32_t requestKey);

    // Reserves a thread for `pluginId`; false once the plugin is retired.
    bool beginThread(uint32_t pluginId);
    // Undoes beginThread when the thread could not be created.
    void abandonThread(uint32_t pluginId);

    // Called on the read thread around its Read call.
    void enterThread();
    void leaveThread(uint32_t pluginId);

    // An answer from the calling thread with `requestKey` (non-zero). Refused
    // when the key is cancelled, the thread is not serving a request, or the
    // core stops while the answer waits. With a block, waits until the
    // thread's previous block is gone and then records this one as pending.
    Answer admitAnswer(uint32_t requestKey, const void *block);

    // A block has been released by its last holder; wakes the thread whose
    // answer is waiting for it. Call before the block is freed, so that a new
    // allocation at the same address cannot be mistaken for it.
    void blockReleased(const void *block);

    // The core is stopping: waiting answers give up.
    void stop();

    // No new threads for the plugin; waits until its running threads end.
    void retire(uint32_t pluginId);

    // Waits until no read thread is running for any plugin.
    void waitForAll();

    // Threads currently serving requests for the plugin (for tests and checks).
    int runningThreads(uint32_t pluginId);

private:
    struct Waiter {
        std::condition_variable wake;
        const void *pending = nullptr;
    };

    std::mutex readRequestMutex;
    std::set<uint32_t> cancelledRequests;
    std::map<std::thread::id, Waiter> readThreads;
    std::unordered_map<uint32_t, int> running;  // per plugin
    std::set<uint32_t> retired;
    std::condition_variable idle;
    std::atomic<int> pendingBlocks{0};
    bool stopping = false;
};
