// The parent link over a real socket pair: settings, stop, packets for
// plugins, packets for the parent, and the loss of the link. The I/O context
// runs on a thread of its own, as in the core; every wait is bounded.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "ipc/parent_link.h"
#include "packets.h"
#include "support/test_bus.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kForever = std::chrono::hours(1);

template <typename Predicate>
bool eventually(Predicate done)
{
    for (int i = 0; i < 1000 && !done(); ++i)
        std::this_thread::sleep_for(5ms);
    return done();
}

// A link on one end of a socket pair, the test playing the parent on the
// other; the I/O context runs on its own thread.
class LinkFixture : public ::testing::Test {
protected:
    LinkFixture()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        parent = fds[1];
        ParentLink::Handlers handlers;
        handlers.requestStop = [this] { ++stops; };
        handlers.deliver = [this](const PacketHeader &header, uint8_t *bytes) {
            std::lock_guard<std::mutex> lock(mutex);
            delivered.emplace_back(bytes, bytes + header.length);
        };
        handlers.background = [this](bool on) { background = on ? 1 : 0; };
        link = std::make_unique<ParentLink>(io, &TestBus::entry, handlers);
        EXPECT_TRUE(link->adopt(fds[0]));
        link->startReceive();
        ioThread = std::thread([this] { io.run(); });
    }
    ~LinkFixture() override
    {
        work.reset();
        io.stop();
        ioThread.join();
        link->discardPending();
        if (parent >= 0)
            close(parent);
    }
    void send(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(::send(parent, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }
    // One record from the core, or empty after a bounded wait.
    std::vector<uint8_t> receive()
    {
        pollfd ready{parent, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1)
            return {};
        std::vector<uint8_t> bytes(200000);
        const ssize_t n = recv(parent, bytes.data(), bytes.size(), 0);
        bytes.resize(n > 0 ? n : 0);
        return bytes;
    }
    int32_t queue(const std::string &text)
    {
        void *copy = std::malloc(text.size());
        std::memcpy(copy, text.data(), text.size());
        return link->queuePacket(copy, static_cast<uint32_t>(text.size()));
    }
    size_t deliveredCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return delivered.size();
    }

    TestBus logs;
    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::unique_ptr<ParentLink> link;
    std::thread ioThread;
    int parent = -1;
    std::atomic<int> stops{0};
    std::atomic<int> background{-1};
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> delivered;
};

TEST_F(LinkFixture, SettingsEndTheWaitAndUpdateOnlyTheFieldsTheyCarry)
{
    using namespace std::string_literals;
    send(makePacket(0, DVR_IPC_SETTINGS, "parent.bin\0" "2.1\0" "Background:true"s));
    link->waitForSettings(kForever);
    ASSERT_TRUE(eventually([&] { return background.load() == 1; }));
    EXPECT_EQ(link->parentProgram().filename, "parent.bin");
    EXPECT_EQ(link->parentProgram().version, "2.1");

    send(makePacket(0, DVR_IPC_SETTINGS, "other"));
    ASSERT_TRUE(eventually([&] { return link->parentProgram().filename == "other"; }));
    EXPECT_EQ(link->parentProgram().version, "2.1");
    EXPECT_EQ(background.load(), 1);

    // Command 7 without a payload is a packet for a plugin.
    send(makePacket(0x00500000, DVR_IPC_SETTINGS));
    ASSERT_TRUE(eventually([&] { return deliveredCount() == 1; }));
    EXPECT_EQ(stops.load(), 0);
}

TEST_F(LinkFixture, StopAndPluginPacketsInTheOrderSent)
{
    auto first = makePacket(0x00500000, 100, "one");
    auto second = makePacket(0x00600000, 101, "two");
    std::vector<uint8_t> both(first);
    both.insert(both.end(), second.begin(), second.end());
    send(both);  // two packets in one record
    send(makePacket(0, DVR_IPC_STOP));
    ASSERT_TRUE(eventually([&] { return stops.load() == 1; }));
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0], first);
    EXPECT_EQ(delivered[1], second);
}

TEST_F(LinkFixture, PacketsReachTheParentInOrderInSendsOfAtMost64KiB)
{
    EXPECT_EQ(queue("first"), DVR_RESULT_OK);
    EXPECT_EQ(queue(std::string(100000, 'b')), DVR_RESULT_OK);
    EXPECT_EQ(queue("last"), DVR_RESULT_OK);
    EXPECT_EQ(receive(), std::vector<uint8_t>({'f', 'i', 'r', 's', 't'}));
    EXPECT_EQ(receive().size(), 65536u);
    EXPECT_EQ(receive().size(), 34464u);
    EXPECT_EQ(receive(), std::vector<uint8_t>({'l', 'a', 's', 't'}));
}

TEST_F(LinkFixture, AParentThatStopsReadingMeetsABoundedQueue)
{
    int refused = 0;
    int accepted = 0;
    const std::string chunk(60000, 'f');
    for (int i = 0; i < 400 && refused == 0; ++i)
        (queue(chunk) == DVR_RESULT_OK ? accepted : refused)++;
    EXPECT_EQ(refused, 1);
    // What the socket itself took (a few hundred KiB) no longer counts.
    EXPECT_LE(uint64_t(accepted) * chunk.size(), ParentLink::kMaxPendingBytes + (1u << 20));
    EXPECT_TRUE(logs.logged("ipc send queue full: packets for the parent are refused"));
    // The fixture's teardown must not wait for the parent to read.
}

TEST_F(LinkFixture, LosingTheLinkStopsOnceFreesEveryPacketAndRefusesLaterOnes)
{
    // Packets posted from another thread while the parent goes away: each is
    // either refused at once or taken and freed by the link, never both
    // (AddressSanitizer's leak and double-free checks watch this).
    std::atomic<bool> run{true};
    std::thread poster([&] {
        while (run)
            queue(std::string(3000, 'p'));
    });
    std::this_thread::sleep_for(20ms);
    close(parent);
    parent = -1;
    ASSERT_TRUE(eventually([&] { return link->lost(); }));
    run = false;
    poster.join();
    EXPECT_EQ(stops.load(), 1);
    EXPECT_FALSE(link->connected());
    EXPECT_EQ(queue("late"), DVR_RESULT_REFUSED);
    EXPECT_TRUE(logs.logged("tornel ipc pipe disconnected"));
    EXPECT_TRUE(logs.logged("sleeping for one minute to allow active watchdogs to expire..."));
}

TEST_F(LinkFixture, ABadLengthIsReportedAndReceivingGoesOn)
{
    auto bad = makePacket(1, 100);
    bad[0] = 3;  // length 3
    send(bad);
    send(makePacket(0x00500000, 100, "after"));
    ASSERT_TRUE(eventually([&] { return deliveredCount() == 1; }));
    EXPECT_TRUE(logs.logged("bad ipc packet length"));
}

TEST(ParentLinkWait, EndsAtOnceWhenSettingsCameFirstOrAStopEndsIt)
{
    boost::asio::io_context io;
    ParentLink early(io, &TestBus::entry, {});
    early.settingsArrived();
    early.waitForSettings(kForever);

    ParentLink stopped(io, &TestBus::entry, {});
    std::thread stopper([&] { stopped.endWait(); });
    stopped.waitForSettings(kForever);
    stopper.join();
}

TEST(ParentLinkPackets, RefusedAndFreedWithoutALinkOrData)
{
    boost::asio::io_context io;
    ParentLink link(io, &TestBus::entry, {});
    EXPECT_EQ(link.queuePacket(std::malloc(16), 16), DVR_RESULT_REFUSED);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    ASSERT_TRUE(link.adopt(fds[0]));
    EXPECT_EQ(link.queuePacket(std::malloc(16), 0), DVR_RESULT_REFUSED);
    EXPECT_EQ(link.queuePacket(nullptr, 16), DVR_RESULT_REFUSED);
    // Accepted and never sent: freed when the link goes.
    EXPECT_EQ(link.queuePacket(std::malloc(16), 16), DVR_RESULT_OK);
    close(fds[1]);
}

}  // namespace
