// A whole core in process whose parent goes away: the two messages, the stop,
// and the minute's grace before the plugins close, with the sleep replaced.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "config/temp_dir.h"
#include "support/test_core.h"

namespace {

class LosingCore : public TestCore {
public:
    void Sleep(std::chrono::seconds duration) override
    {
        slept = duration;
        linesBeforeSleep = logLines().size();
    }
    std::chrono::seconds slept{0};
    size_t linesBeforeSleep = 0;
};

size_t indexOf(const std::vector<LogLine> &lines, const std::string &prefix, uint32_t level)
{
    const auto at = std::find_if(lines.begin(), lines.end(), [&](const LogLine &line) {
        return line.text.rfind(prefix, 0) == 0 && line.level == level;
    });
    return at - lines.begin();
}

TEST(ParentLoss, AParentThatClosesAtOnceStopsTheCoreWhichWaitsAMinuteBeforeClosing)
{
    TempDir dir;  // the core writes core.xml into its working directory
    const auto previous = boost::filesystem::current_path();
    boost::filesystem::current_path(dir.path);
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    {
        LosingCore core;
        ASSERT_TRUE(core.Initialize(fds[0]));
        close(fds[1]);
        core.Start();  // returns: the lost link ends the settings wait and the run

        const std::vector<LogLine> lines = core.logLines();
        const size_t lost = indexOf(lines, "tornel ipc pipe disconnected", 100);
        const size_t sleeping = indexOf(lines, "sleeping for one minute to allow active watchdogs", 100);
        const size_t stopping = indexOf(lines, "stopping core version", 25);
        ASSERT_LT(stopping, lines.size());
        EXPECT_EQ(sleeping, lost + 1);
        EXPECT_LT(lost, stopping);
        EXPECT_EQ(core.slept, std::chrono::seconds(60));
        EXPECT_GT(core.linesBeforeSleep, stopping);
    }
    boost::filesystem::current_path(previous);
}

}  // namespace
