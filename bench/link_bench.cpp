// The parent link's throughput against a bare socket pair doing the same
// sends in the same run.
//
//   BM_LinkToPlugin   the parent writes packets; the link cuts them from the
//                     stream and the host hands each to a plugin's IOCTL.
//   BM_BareToReader   the same writes; a thread receives each record.
//   BM_LinkToParent   a plugin posts packets (malloc'ed copies, as
//                     dvr_send_to_parent does); the link writes them to the
//                     parent, a thread that receives each record.
//   BM_BareFromWriter the same copies written by a thread with send(); the
//                     same receiving thread.
// Each iteration moves kBatch packets; items and bytes per second are per
// packet and per packet byte.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "events/event_bus.h"
#include "ipc/parent_link.h"
#include "packets.h"
#include "plugins/plugin_host.h"

namespace {

constexpr int kBatch = 2000;

// Counts what arrives and lets the benchmark thread sleep until a count is
// reached, so that no thread spins on the two cores the link needs.
class Counter {
public:
    void add()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        reached.notify_all();
    }
    uint64_t value()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    void waitFor(uint64_t target)
    {
        std::unique_lock<std::mutex> lock(mutex);
        reached.wait(lock, [&] { return count >= target; });
    }

private:
    std::mutex mutex;
    std::condition_variable reached;
    uint64_t count = 0;
};

Counter pluginPackets;

int countingIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *)
{
    if (in->code == IOCTL_IPC)
        pluginPackets.add();
    return 0;
}

struct SocketPair {
    SocketPair()
    {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
            std::abort();
    }
    ~SocketPair()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    int fds[2] = {-1, -1};
};

std::vector<uint8_t> packetOf(size_t size)
{
    return makePacket(0x00500000, 100, std::string(size - DVR_IPC_HEADER_SIZE, 'Z'));
}

// Receives records on `fd` and counts them until told to stop.
class Reader {
public:
    explicit Reader(int fd) : fd(fd), thread([this] { run(); }) {}
    ~Reader()
    {
        shutdown(fd, SHUT_RD);
        thread.join();
    }
    void waitFor(uint64_t count) { records.waitFor(count); }
    uint64_t received() { return records.value(); }

private:
    void run()
    {
        std::vector<uint8_t> buffer(65536);
        while (recv(fd, buffer.data(), buffer.size(), 0) > 0)
            records.add();
    }
    int fd;
    Counter records;
    std::thread thread;
};

// A link on one end of a socket pair, its I/O context on its own thread, and
// one plugin (ID 0x00050000) that counts the packets it gets.
class LinkRig {
public:
    LinkRig()
    {
        PLUGININFO plugin;
        plugin.loadOut.pluginId = 0x00050000;
        plugin.fileName = "counter.so";
        plugin.IOCTL = countingIoctl;
        host.adopt(std::move(plugin));
        link.adopt(pair.fds[0]);
        pair.fds[0] = -1;  // the link owns it now
        link.startReceive();
        io = std::thread([this] { context.run(); });
    }
    ~LinkRig()
    {
        work.reset();
        context.stop();
        io.join();
        link.discardPending();
    }
    int parent() const { return pair.fds[1]; }

    SocketPair pair;
    SystemClock clock;
    LogLevelTable levels;
    LogLevelTable defaults;
    SourceNames names;
    EventBus bus{clock, levels, noEntry};
    PluginHost host{bus, {levels, defaults, names}, clock, noEntry, nullptr};
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
        context.get_executor()};
    ParentLink link{context, noEntry,
                    {nullptr,
                     [this](const PacketHeader &header, uint8_t *packet) {
                         host.deliverParentPacket(header.target, packet, header.length);
                     },
                     nullptr}};
    std::thread io;
};

void report(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(state.iterations() * kBatch * state.range(0));
}

void sendAll(int fd, const std::vector<uint8_t> &packet)
{
    for (int i = 0; i < kBatch; ++i)
        if (send(fd, packet.data(), packet.size(), 0) != ssize_t(packet.size()))
            std::abort();
}

void BM_LinkToPlugin(benchmark::State &state)
{
    LinkRig rig;
    const auto packet = packetOf(state.range(0));
    uint64_t expected = pluginPackets.value();
    for (auto _ : state) {
        sendAll(rig.parent(), packet);
        // The last packets are in the socket: wait for the link to pass them on.
        pluginPackets.waitFor(expected += kBatch);
    }
    report(state);
}

// Runs `sendBatch` in each iteration and waits until `reader` has received
// every record of it.
template <typename SendBatch>
void measureAtReader(benchmark::State &state, Reader &reader, SendBatch sendBatch)
{
    uint64_t expected = 0;
    for (auto _ : state) {
        sendBatch();
        reader.waitFor(expected += kBatch);
    }
    report(state);
}

void BM_BareToReader(benchmark::State &state)
{
    SocketPair pair;
    const auto packet = packetOf(state.range(0));
    Reader reader(pair.fds[0]);
    measureAtReader(state, reader, [&] { sendAll(pair.fds[1], packet); });
}

void *copyOf(const std::vector<uint8_t> &packet)
{
    void *copy = std::malloc(packet.size());
    std::memcpy(copy, packet.data(), packet.size());
    return copy;
}

void BM_LinkToParent(benchmark::State &state)
{
    LinkRig rig;
    const auto packet = packetOf(state.range(0));
    Reader reader(rig.parent());
    measureAtReader(state, reader, [&] {
        for (int i = 0; i < kBatch; ++i)
            // A full queue refuses (and frees) the copy: retry once the
            // parent has taken another packet.
            while (rig.link.queuePacket(copyOf(packet), static_cast<uint32_t>(packet.size())) !=
                   DVR_RESULT_OK)
                reader.waitFor(reader.received() + 1);
    });
}

void BM_BareFromWriter(benchmark::State &state)
{
    SocketPair pair;
    const auto packet = packetOf(state.range(0));
    Reader reader(pair.fds[1]);
    measureAtReader(state, reader, [&] {
        for (int i = 0; i < kBatch; ++i) {
            void *copy = copyOf(packet);
            if (send(pair.fds[0], copy, packet.size(), 0) != ssize_t(packet.size()))
                std::abort();
            std::free(copy);
        }
    });
}

void sizes(benchmark::internal::Benchmark *bench)
{
    bench->ArgName("bytes")->Arg(64)->Arg(65536)->UseRealTime()->MinTime(0.5);
}

}  // namespace

BENCHMARK(BM_LinkToPlugin)->Apply(sizes);
BENCHMARK(BM_BareToReader)->Apply(sizes);
BENCHMARK(BM_LinkToParent)->Apply(sizes);
BENCHMARK(BM_BareFromWriter)->Apply(sizes);

BENCHMARK_MAIN();
