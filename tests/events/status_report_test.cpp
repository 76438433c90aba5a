// The once-a-minute event bus report.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <locale>
#include <thread>
#include <vector>
#include <string>

#include "events/status_report.h"
#include "support/test_bus.h"

namespace {

bool groupingLocaleInstalled()
{
    try {
        std::locale("en_US.UTF-8");
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

TEST(StatusReportText, NumbersAreGroupedWhereTheLocaleExists)
{
    if (groupingLocaleInstalled()) {
        EXPECT_EQ(groupedNumber(1500000), "1,500,000");
        EXPECT_EQ(groupedNumber(4294967295u), "4,294,967,295");
    } else {
        EXPECT_EQ(groupedNumber(1500000), "1500000");
    }
    EXPECT_EQ(groupedNumber(0), "0");
    EXPECT_EQ(groupedNumber(999), "999");
}

TEST(StatusReportText, TopHoldersAreTheFiveLargestMostFirst)
{
    EXPECT_EQ(formatTopHolders({}), "");
    EXPECT_EQ(formatTopHolders({{0x80000000u, 1}}), "80000000:1");
    EXPECT_EQ(formatTopHolders({{0x120000, 1500}}), "120000:1500") << "no grouping here";
    EXPECT_EQ(formatTopHolders({{1, 10}, {2, 60}, {3, 30}, {4, 50}, {5, 20}, {6, 40}}),
              "2:60, 4:50, 6:40, 3:30, 5:20");
}

TestBus *current = nullptr;
std::chrono::nanoseconds writeAdvance{0};
std::atomic<int> writes{0};
std::vector<void *> kept;  // delivery thread only, until the loop has ended

// Keeps every block and moves the test clock by writeAdvance.
int keepingWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    out->keep = 1;
    if (in->data)
        kept.push_back(in->data);
    if (current)
        current->advance(writeAdvance);
    ++writes;
    return 0;
}

// Releases what the keeping plugin kept, as a plugin would.
void releaseKept(TestBus &core)
{
    for (void *data : kept)
        core.post(makeEvent(0x00120000, DVR_EVENT_RELEASE, 0, data, 0));
    kept.clear();
}

std::vector<std::string> reportLines(TestBus &core)
{
    std::vector<std::string> lines;
    for (const LogLine &line : core.logLines())
        if (line.text.rfind("core event queue size", 0) == 0 || line.text.rfind("Top - ", 0) == 0)
            lines.push_back(line.text);
    return lines;
}

TEST(StatusReport, ReportsQueueThrottlingEventsBlocksAndTopHolders)
{
    TestBus core;
    current = &core;
    writeAdvance = std::chrono::seconds(60);
    core.addPlugin(0x00120000, "keeper.so", keepingWrite);
    core.frameGate.admit(1, DVR_EVENT_VIDEO_FRAME, 0, true);
    core.frameGate.admit(1, DVR_EVENT_AUDIO_FRAME, 0, true);
    core.frameGate.admit(1, DVR_EVENT_AUDIO_FRAME, 0, true);
    char data[1000] = {};
    for (int i = 0; i < 3; ++i)
        core.post(makeEvent(0x00110000, DVR_EVENT_KIND_0x8, 0, data, sizeof data));
    core.drain();
    current = nullptr;

    // The first event's Write moves the clock a minute: the second event is
    // reported, with the third still queued, the first kept by the plugin and
    // the second held by the loop.
    const std::vector<std::string> lines = reportLines(core);
    ASSERT_EQ(lines.size(), 4u) << "the third event comes another minute later";
    EXPECT_EQ(lines[0], "core event queue size: 1, throttledframes:[v:1 a:2], events:2, refblks: 2 (" +
                            groupedNumber(2000) + " bytes)");
    EXPECT_TRUE(lines[1] == "Top - 120000:1, 80000000:1" || lines[1] == "Top - 80000000:1, 120000:1")
        << lines[1];
    EXPECT_EQ(lines[2], "core event queue size: 0, throttledframes:[v:0 a:0], events:1, refblks: 3 (" +
                            groupedNumber(3000) + " bytes)");
    EXPECT_TRUE(lines[3] == "Top - 120000:2, 80000000:1") << lines[3];
    for (const LogLine &line : core.logLines()) {
        if (line.text.rfind("Top - ", 0) == 0 || line.text.rfind("core event", 0) == 0) {
            EXPECT_EQ(line.level, 25u);
        }
    }

    releaseKept(core);
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

TEST(StatusReport, NoEventsNoReportThenOneAtOnce)
{
    TestBus core;
    current = nullptr;
    writes = 0;
    core.addPlugin(0x00120000, "keeper.so", keepingWrite);
    core.startDelivery();
    core.post(makeEvent(0x00110000, DVR_EVENT_KIND_0x8));
    while (writes.load() == 0)
        std::this_thread::yield();
    EXPECT_TRUE(reportLines(core).empty());
    core.advance(std::chrono::minutes(10));
    EXPECT_TRUE(reportLines(core).empty()) << "there is no timer";
    core.post(makeEvent(0x00110000, DVR_EVENT_KIND_0x8));
    core.stopDelivery();
    const std::vector<std::string> lines = reportLines(core);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Top - ") << "an event without data holds no block";

    // The report's own log lines reach the keeping plugin when they are posted
    // before the stop: free what it kept, as the core never does.
    releaseKept(core);
    EXPECT_EQ(core.refBlockTable.counts().blockCount, 0u);
}

}  // namespace
