#include <zmq.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Owns a socket; linger 0 so closing never waits.
struct Socket {
    Socket(void *context, int type) : handle(zmq_socket(context, type))
    {
        int zero = 0;
        zmq_setsockopt(handle, ZMQ_LINGER, &zero, sizeof zero);
        zmq_setsockopt(handle, ZMQ_SNDHWM, &zero, sizeof zero);
        zmq_setsockopt(handle, ZMQ_RCVHWM, &zero, sizeof zero);
    }
    ~Socket() { zmq_close(handle); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    void *handle;
};

struct Context {
    Context() : handle(zmq_ctx_new()) {}
    ~Context() { zmq_ctx_term(handle); }
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    void *handle;
};

// One-byte probes (no measured size) show that a subscription has reached
// the publisher before the timed messages go out.
constexpr size_t kProbeSize = 1;

}  // namespace

// An in-process PUB socket and `subscribers` SUB sockets on threads of their
// own, no high-water mark (nothing dropped): `events` messages of `size`
// bytes. True when every subscriber received all.
bool runZeroMQ(uint32_t size, int64_t events, int subscribers)
{
    Context context;
    std::atomic<int> ready{0};
    std::atomic<int> complete{0};
    std::vector<uint8_t> payload(size ? size : 1, 0x5A);
    {
        Socket publisher(context.handle, ZMQ_PUB);
        if (zmq_bind(publisher.handle, "inproc://bench") != 0)
            return false;
        std::vector<std::thread> threads;
        for (int s = 0; s < subscribers; ++s)
            threads.emplace_back([&] {
                Socket subscriber(context.handle, ZMQ_SUB);
                zmq_connect(subscriber.handle, "inproc://bench");
                zmq_setsockopt(subscriber.handle, ZMQ_SUBSCRIBE, "", 0);
                zmq_msg_t message;
                zmq_msg_init(&message);
                bool first = true;
                int64_t received = 0;
                while (received < events && zmq_msg_recv(&message, subscriber.handle, 0) >= 0) {
                    if (zmq_msg_size(&message) == kProbeSize) {
                        if (first)
                            ++ready;
                        first = false;
                        continue;
                    }
                    ++received;
                }
                zmq_msg_close(&message);
                if (received == events)
                    ++complete;
            });
        const uint8_t probe = 0;
        while (ready.load() < subscribers) {
            zmq_send(publisher.handle, &probe, kProbeSize, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (int64_t i = 0; i < events; ++i)
            zmq_send(publisher.handle, payload.data(), size, 0);
        for (auto &thread : threads)
            thread.join();
    }
    return complete.load() == subscribers;
}
