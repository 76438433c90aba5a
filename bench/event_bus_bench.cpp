// Throughput of the event bus: a million events of one size posted from one
// or two producer threads, delivered by the loop on its own thread to three
// in-process plugins; events per second from the first post to the last
// delivery. Beside it the same work on the bare queue and, when libzmq is
// found, an in-process PUB socket with three SUB sockets. Two more modes
// print key=value lines or run under callgrind:
//   event_bus_bench --sustained N dvrcore|bare   the sustained load
//   event_bus_bench --route [--bare] N [BYTES]   routing on one thread
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "bench_support.h"

#ifdef DVR_BENCH_ZEROMQ
#include <zmq.h>
#endif

namespace {

constexpr int kPlugins = 3;
std::atomic<uint64_t> writes{0};

int countingWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    benchmark::DoNotOptimize(in->data);
    writes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

template <class Queue>
void BM_Queue(benchmark::State &state)
{
    ProducerLoad load;
    load.minBytes = static_cast<uint32_t>(state.range(0));
    load.producers = static_cast<int>(state.range(1));
    load.events = state.range(2);
    for (auto _ : state) {
        writes = 0;
        runQueue<Queue>(load, kPlugins, countingWrite);
        if (writes.load() != uint64_t(load.events) * kPlugins)
            state.SkipWithError("not every event was delivered");
    }
    state.SetItemsProcessed(state.iterations() * load.events);
    state.SetBytesProcessed(state.iterations() * load.events * load.minBytes);
}

void BM_EventBus(benchmark::State &state) { BM_Queue<BusCore>(state); }
void BM_BareQueue(benchmark::State &state) { BM_Queue<BareQueue>(state); }

#ifdef DVR_BENCH_ZEROMQ
using ZmqHandle = std::unique_ptr<void, int (*)(void *)>;

// A socket with linger 0 (closing never waits) and no high-water mark.
ZmqHandle zmqSocket(void *context, int type)
{
    ZmqHandle socket(zmq_socket(context, type), zmq_close);
    int zero = 0;
    for (int option : {ZMQ_LINGER, ZMQ_SNDHWM, ZMQ_RCVHWM})
        zmq_setsockopt(socket.get(), option, &zero, sizeof zero);
    return socket;
}

// `events` messages of `size` bytes through a PUB socket to `subscribers` SUB
// sockets on threads of their own, nothing dropped; one-byte probes (no
// measured size) first show that every subscription reached the publisher.
// True when every subscriber received all.
bool runZeroMQ(uint32_t size, int64_t events, int subscribers)
{
    const ZmqHandle context(zmq_ctx_new(), zmq_ctx_term);
    std::atomic<int> ready{0}, complete{0};
    std::vector<uint8_t> payload(size ? size : 1, 0x5A);
    const ZmqHandle publisher = zmqSocket(context.get(), ZMQ_PUB);
    if (zmq_bind(publisher.get(), "inproc://bench") != 0)
        return false;
    std::vector<std::thread> threads;
    for (int s = 0; s < subscribers; ++s)
        threads.emplace_back([&] {
            const ZmqHandle subscriber = zmqSocket(context.get(), ZMQ_SUB);
            zmq_connect(subscriber.get(), "inproc://bench");
            zmq_setsockopt(subscriber.get(), ZMQ_SUBSCRIBE, "", 0);
            zmq_msg_t message;
            zmq_msg_init(&message);
            bool first = true;
            int64_t received = 0;
            while (received < events && zmq_msg_recv(&message, subscriber.get(), 0) >= 0) {
                if (zmq_msg_size(&message) != 1)
                    ++received;
                else if (std::exchange(first, false))
                    ++ready;
            }
            zmq_msg_close(&message);
            complete += received == events;
        });
    const uint8_t probe = 0;
    while (ready.load() < subscribers) {
        zmq_send(publisher.get(), &probe, 1, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int64_t i = 0; i < events; ++i)
        zmq_send(publisher.get(), payload.data(), size, 0);
    for (auto &thread : threads)
        thread.join();
    return complete.load() == subscribers;
}

void BM_ZeroMQ(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    const int64_t events = state.range(2);
    for (auto _ : state)
        if (!runZeroMQ(size, events, kPlugins))
            state.SkipWithError("not every message arrived");
    state.SetItemsProcessed(state.iterations() * events);
    state.SetBytesProcessed(state.iterations() * events * size);
}
#endif

// A million events of each size from up to `maxProducers` threads.
void cases(benchmark::internal::Benchmark *bench, int maxProducers)
{
    bench->ArgNames({"bytes", "producers", "events"});
    for (int bytes : {0, 64, 65536})
        for (int producers = 1; producers <= maxProducers; ++producers)
            bench->Args({bytes, producers, 1000000});
    bench->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_EventBus)->Apply([](auto *bench) { cases(bench, 2); });
BENCHMARK(BM_BareQueue)->Apply([](auto *bench) { cases(bench, 2); });
#ifdef DVR_BENCH_ZEROMQ
BENCHMARK(BM_ZeroMQ)->Apply([](auto *bench) { cases(bench, 1); });  // one thread per PUB socket
#endif

// The sustained load: events of 2 to 200 KiB from two producers to three
// subscribers, `kWindow` in flight: a producer waits before a post while
// that many are, and the last subscriber returns from an event only once the
// producers have posted the `kLead` after it. The queue is never empty when
// the loop looks, so the loop never sleeps and what its own memory does over
// a long busy stretch shows in the peak resident size.
constexpr unsigned kWindow = 64;
constexpr int64_t kLead = kWindow - 1;
sem_t window, posted;  // events that may still be posted; posted, not yet counted
int64_t events = 0, counted = 0, delivered = 0;  // the delivery thread's alone
uint64_t waits = 0;

int sustainedWrite(const _WriteParmsIn *, _WriteParmsOut *)
{
    if (writes.fetch_add(1, std::memory_order_relaxed) % kPlugins != kPlugins - 1)
        return 0;
    for (const int64_t target = std::min(++delivered + kLead, events); counted < target; ++counted)
        if (sem_trywait(&posted) != 0) {
            ++waits;
            while (sem_wait(&posted) != 0) {
            }
        }
    sem_post(&window);
    return 0;
}

template <class Queue>
int sustain(const char *name)
{
    sem_init(&window, 0, kWindow);
    sem_init(&posted, 0, 0);
    const ProducerLoad load{2 * 1024, 200 * 1024, 2, events, &window, &posted};
    const auto start = std::chrono::steady_clock::now();
    runQueue<Queue>(load, kPlugins, sustainedWrite);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (writes != uint64_t(events) * kPlugins) {
        std::fprintf(stderr, "sustained load: %s did not deliver every event\n", name);
        return 1;
    }
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmHWM:") == 0)
            std::printf("%s_peak_kib=%ld\n", name, std::strtol(line.c_str() + 6, nullptr, 10));
    std::printf("%s_events_per_s=%.0f\n%s_seconds=%.1f\n%s_waits=%llu\n", name,
                double(events) / took.count(), name, took.count(), name,
                static_cast<unsigned long long>(waits));
    return 0;
}

// The routing mode: `events` events posted, then the delivery loop run on the
// same thread until every one is delivered, nothing waiting, so that an
// instruction count depends only on their number. The subscribers read each
// block, as a plugin would; a refused post shows as a delivery missing.
int touchingWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    if (in->data)
        benchmark::DoNotOptimize(*static_cast<const uint8_t *>(in->data));
    return countingWrite(in, out);
}

template <class Queue>
int route(int64_t events, uint32_t size)
{
    Queue queue;
    subscribeAll(queue, kPlugins, touchingWrite);
    const std::vector<uint8_t> payload(size ? size : 1, 0x5A);
    _EventParmsIn in = dvr_event_in(0x00200000u, DVR_EVENT_KIND_0x8, 0);
    in.data = size ? const_cast<uint8_t *>(payload.data()) : nullptr;
    in.len = size;
    for (int64_t i = 0; i < events; ++i)
        queue.post(in);
    queue.requestStop();
    queue.runDeliveryLoop();
    if (queue.drained() && writes == uint64_t(events) * kPlugins)
        return 0;
    std::fprintf(stderr, "routing: %llu deliveries of %lld expected, or blocks left behind\n",
                 static_cast<unsigned long long>(writes.load()),
                 static_cast<long long>(events) * kPlugins);
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc >= 2 ? argv[1] : "", queue = argc == 4 ? argv[3] : "";
    const bool bare = mode == "--route" && argc >= 3 && std::strcmp(argv[2], "--bare") == 0;
    if (mode == "--route" && argc >= 3 + bare && argc <= 4 + bare) {
        const long long count = std::atoll(argv[2 + bare]);
        const long size = argc == 4 + bare ? std::atol(argv[3 + bare]) : 64;
        if (count > 0 && size >= 0 && size <= (1 << 20))
            return bare ? route<BareQueue>(count, uint32_t(size))
                        : route<BusCore>(count, uint32_t(size));
    }
    if (mode == "--route") {
        std::fprintf(stderr, "usage: %s --route [--bare] EVENTS [BYTES]   (BYTES 0..1048576)\n",
                     argv[0]);
        return 2;
    }
    events = argc >= 3 ? std::atoll(argv[2]) : 0;
    if (mode == "--sustained" && events > 0 && (queue == "dvrcore" || queue == "bare")) {
        std::printf("events=%lld\nmin_bytes=%u\nmax_bytes=%u\nproducers=2\nwindow=%u\nlead=%lld\n",
                    static_cast<long long>(events), 2 * 1024, 200 * 1024, kWindow,
                    static_cast<long long>(kLead));
        return queue == "bare" ? sustain<BareQueue>("bare") : sustain<BusCore>("dvrcore");
    }
    if (mode == "--sustained") {
        std::fprintf(stderr, "usage: %s --sustained EVENTS dvrcore|bare\n", argv[0]);
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
