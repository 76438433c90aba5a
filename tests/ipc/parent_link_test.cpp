// The parent link's socket adoption, packets, and the start-up wait for the
// parent's settings. A wait that fails to end would hang until the test's
// time limit: every wait here must end at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ipc/parent_link.h"
#include "plugin/dvrplugin.h"

namespace {

constexpr auto kForever = std::chrono::hours(1);

TEST(ParentLinkWait, SettingsThatArriveBeforeTheWaitEndItAtOnce)
{
    boost::asio::io_context io;
    ParentLink link(io);
    link.settingsArrived();
    link.waitForSettings(kForever);
}

TEST(ParentLinkWait, AStopEndsTheWaitFromAnotherThread)
{
    boost::asio::io_context io;
    ParentLink link(io);
    std::thread stopper([&] { link.endWait(); });
    link.waitForSettings(kForever);
    stopper.join();
}

TEST(ParentLinkPackets, RefusedAndFreedWithoutALinkOrData)
{
    boost::asio::io_context io;
    ParentLink link(io);
    EXPECT_FALSE(link.connected());
    EXPECT_EQ(link.queuePacket(std::malloc(16), 16), DVR_RESULT_REFUSED);

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    ASSERT_TRUE(link.adopt(fds[0]));
    EXPECT_TRUE(link.connected());
    EXPECT_EQ(link.queuePacket(std::malloc(16), 0), DVR_RESULT_REFUSED);
    EXPECT_EQ(link.queuePacket(nullptr, 16), DVR_RESULT_REFUSED);
    // Accepted: the buffer is the link's until sent or discarded.
    EXPECT_EQ(link.queuePacket(std::malloc(16), 16), DVR_RESULT_OK);
    io.poll();
    link.discardPending();
    close(fds[1]);
}

}  // namespace
