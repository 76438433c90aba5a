#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Handle = std::unique_ptr<void, int (*)(void *)>;

// A socket with linger 0 (closing never waits) and no high-water mark.
Handle socketOf(void *context, int type)
{
    Handle socket(zmq_socket(context, type), zmq_close);
    int zero = 0;
    for (int option : {ZMQ_LINGER, ZMQ_SNDHWM, ZMQ_RCVHWM})
        zmq_setsockopt(socket.get(), option, &zero, sizeof zero);
    return socket;
}

// One-byte probes (no measured size) show that a subscription has reached
// the publisher before the timed messages go out.
constexpr size_t kProbeSize = 1;

}  // namespace

// An in-process PUB socket and `subscribers` SUB sockets on threads of their
// own, nothing dropped: `events` messages of `size` bytes. True when every
// subscriber received all.
bool runZeroMQ(uint32_t size, int64_t events, int subscribers)
{
    const Handle context(zmq_ctx_new(), zmq_ctx_term);
    std::atomic<int> ready{0}, complete{0};
    std::vector<uint8_t> payload(size ? size : 1, 0x5A);
    {
        const Handle publisher = socketOf(context.get(), ZMQ_PUB);
        if (zmq_bind(publisher.get(), "inproc://bench") != 0)
            return false;
        std::vector<std::thread> threads;
        for (int s = 0; s < subscribers; ++s)
            threads.emplace_back([&] {
                const Handle subscriber = socketOf(context.get(), ZMQ_SUB);
                zmq_connect(subscriber.get(), "inproc://bench");
                zmq_setsockopt(subscriber.get(), ZMQ_SUBSCRIBE, "", 0);
                zmq_msg_t message;
                zmq_msg_init(&message);
                bool first = true;
                int64_t received = 0;
                while (received < events && zmq_msg_recv(&message, subscriber.get(), 0) >= 0) {
                    if (zmq_msg_size(&message) != kProbeSize)
                        ++received;
                    else if (std::exchange(first, false))
                        ++ready;
                }
                zmq_msg_close(&message);
                complete += received == events;
            });
        const uint8_t probe = 0;
        while (ready.load() < subscribers) {
            zmq_send(publisher.get(), &probe, kProbeSize, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (int64_t i = 0; i < events; ++i)
            zmq_send(publisher.get(), payload.data(), size, 0);
        for (auto &thread : threads)
            thread.join();
    }
    return complete.load() == subscribers;
}
