// Throughput of the event bus component: events posted to the bus and
// delivered by its delivery loop to three subscribing in-process plugins.
//
// Each run posts a fixed number of events of one size from one or two
// producer threads, while the delivery loop runs on its own thread, and ends
// when the loop has delivered every event. Reported: events and bytes per
// second over the whole run, from the first post to the last delivery.
//
// Beside it, in the same run, two references doing the same work
// (reference_queues.h): BM_BareQueue, the plainest queue one would write (a
// mutex, a condition variable and a deque of records, the same copy of the
// data and the same three calls), and BM_ZeroMQ, an in-process PUB socket
// with three SUB sockets (built only when libzmq is found).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "reference_queues.h"
#include "subscribed_bus.h"
#include "sustained_load.h"

namespace {

constexpr int kPlugins = 3;
std::atomic<uint64_t> writes{0};

int countingWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    benchmark::DoNotOptimize(in->data);
    writes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

ProducerLoad loadOf(const benchmark::State &state)
{
    ProducerLoad load;
    load.minBytes = static_cast<uint32_t>(state.range(0));
    load.producers = static_cast<int>(state.range(1));
    load.events = state.range(2);
    return load;
}

void BM_EventBus(benchmark::State &state)
{
    const ProducerLoad load = loadOf(state);
    for (auto _ : state) {
        writes = 0;
        runEventBus(load, kPlugins, countingWrite);
        if (writes.load() != uint64_t(load.events) * kPlugins)
            state.SkipWithError("not every event was delivered");
    }
    state.SetItemsProcessed(state.iterations() * load.events);
    state.SetBytesProcessed(state.iterations() * load.events * load.minBytes);
}

void BM_BareQueue(benchmark::State &state)
{
    const ProducerLoad load = loadOf(state);
    for (auto _ : state) {
        writes = 0;
        runBareQueue(load, kPlugins, countingWrite);
        if (writes.load() != uint64_t(load.events) * kPlugins)
            state.SkipWithError("not every event was delivered");
    }
    state.SetItemsProcessed(state.iterations() * load.events);
    state.SetBytesProcessed(state.iterations() * load.events * load.minBytes);
}

#ifdef DVR_BENCH_ZEROMQ
void BM_ZeroMQ(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    const int64_t events = state.range(2);
    for (auto _ : state) {
        if (!runZeroMQ(size, events, kPlugins))
            state.SkipWithError("not every message arrived");
    }
    state.SetItemsProcessed(state.iterations() * events);
    state.SetBytesProcessed(state.iterations() * events * size);
}
#endif

}  // namespace

void runEventBus(const ProducerLoad &load, int plugins, DvrWriteFn write)
{
    SubscribedBus core(plugins, write);
    std::thread delivery([&] { core.bus.runDeliveryLoop(); });
    std::vector<std::thread> threads;
    for (int p = 0; p < load.producers; ++p)
        threads.emplace_back([&, p] {
            _EventParmsIn in;
            std::memset(&in, 0, sizeof in);
            in.size = sizeof in;
            in.version = DVR_EVENT_PARMS_VERSION;
            in.providerID = 0x00200000u + (uint32_t(p) << 16);
            in.eventType = DVR_EVENT_KIND_0x8;
            load.produce(p, [&](const uint8_t *data, uint32_t len) {
                in.data = const_cast<uint8_t *>(data);
                in.len = len;
                core.bus.post(in);
            });
        });
    for (auto &thread : threads)
        thread.join();
    core.bus.requestStop();
    delivery.join();
}

// Every case: one run of a million events of each size, from `producers`
// threads (one only where the reference allows no more).
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
// A PUB socket may be used by one thread only.
BENCHMARK(BM_ZeroMQ)->Apply([](auto *bench) { cases(bench, 1); });
#endif

// `event_bus_bench --sustained N` runs the sustained load instead
// (sustained_load.h); anything else goes to Google Benchmark.
int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--sustained") == 0)
        return runSustainedLoad(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
