// Throughput of the event bus: a fixed number of events of one size posted
// from one or two producer threads, delivered by the loop on its own thread
// to three subscribing in-process plugins; events and bytes per second from
// the first post to the last delivery. Beside it in the same run the same
// work on the bare queue (bare_queue.h) and, when libzmq is found, an
// in-process PUB socket with three SUB sockets.
//
// `event_bus_bench --sustained N QUEUE`: N events of 2 to 200 KiB (a fixed
// pseudo-random sequence) from two producers to three subscribers, 64 in
// flight: a producer waits before a post while 64 are, and the last
// subscriber returns from an event only once the producers have posted the
// 63 after it. The queue is never empty when the loop looks, so the loop
// never sleeps and what its own memory does over a long busy stretch shows
// in the peak. `--sustained N dvrcore|bare` runs one queue, so each has a
// process of its own; key=value lines: the load, and for the queue its peak
// resident size (VmHWM, KiB), events per second, and how often the last
// subscriber waited for the producers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench_support.h"

bool runZeroMQ(uint32_t size, int64_t events, int subscribers);

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

// The sustained load; the delivery thread alone touches the plain counters.
constexpr unsigned kWindow = 64;
constexpr int64_t kLead = kWindow - 1;
sem_t window, posted;  // events that may still be posted; posted, not yet counted
int64_t events = 0, counted = 0, delivered = 0;
uint64_t waits = 0;

int sustainedWrite(const _WriteParmsIn *, _WriteParmsOut *)
{
    if (writes.fetch_add(1, std::memory_order_relaxed) % kPlugins != kPlugins - 1)
        return 0;
    // The last subscriber: the `kLead` events after this one are posted
    // before it returns, and one more may go in.
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

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--sustained") == 0) {
        events = argc >= 3 ? std::atoll(argv[2]) : 0;
        const std::string queue = argc == 4 ? argv[3] : "";
        if (events <= 0 || (queue != "dvrcore" && queue != "bare")) {
            std::fprintf(stderr, "usage: %s --sustained EVENTS dvrcore|bare\n", argv[0]);
            return 2;
        }
        std::printf("events=%lld\nmin_bytes=%u\nmax_bytes=%u\nproducers=2\nwindow=%u\nlead=%lld\n",
                    static_cast<long long>(events), 2 * 1024, 200 * 1024, kWindow,
                    static_cast<long long>(kLead));
        return queue == "bare" ? sustain<BareQueue>("bare") : sustain<BusCore>("dvrcore");
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
