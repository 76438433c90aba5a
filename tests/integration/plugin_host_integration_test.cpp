// The real dvrcore process with real plugin shared objects: discovery, the
// refusals and their messages, events between plugins, keep and release, the
// threads, close and unload order, and stopping by SIGINT and SIGTERM.
//
// The core writes console lines only to a terminal, so the tests read the log
// through a test plugin subscribed to log events (sink.so). The core's own
// threshold stays at 25: its level-0 messages are checked in process
// (tests/plugins/plugin_host_test.cpp).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core_process.h"

namespace fs = boost::filesystem;

namespace {

using Lines = std::vector<std::string>;

class CoreIntegration : public ::testing::Test {
protected:
    void add(const std::string &name, const std::string &config, const std::string &subdir = "plugins")
    {
        dir.addPlugin(name, config, DVR_TEST_PLUGIN, subdir);
    }
    void addSink() { add("sink.so", logSinkConfig()); }
    // Log texts the sink received.
    Lines logTexts()
    {
        Lines texts;
        for (const std::string &line : dir.traceOf("sink.so")) {
            const auto at = line.find(" text=");
            if (line.compare(0, 4, "log ") == 0 && at != std::string::npos)
                texts.push_back(line.substr(at + 6));
        }
        return texts;
    }
    bool logged(const std::string &text)
    {
        for (const std::string &line : logTexts())
            if (line == text)
                return true;
        return false;
    }
    // Plugin names in the order of their trace lines for `entry`.
    Lines order(const std::string &entry)
    {
        Lines names;
        for (const std::string &line : dir.trace()) {
            const auto space = line.find(' ');
            if (line.compare(space + 1, entry.size() + 1, entry + " ") == 0)
                names.push_back(line.substr(0, space));
        }
        return names;
    }
    // How many trace lines of `plugin` are calls of `entry`.
    size_t calls(const std::string &plugin, const std::string &entry)
    {
        size_t n = 0;
        for (const std::string &line : dir.traceOf(plugin))
            n += line.compare(0, entry.size() + 1, entry + " ") == 0;
        return n;
    }
    // The value of `key=` in a trace line.
    static std::string field(const std::string &line, const std::string &key)
    {
        const auto at = line.find(" " + key + "=");
        if (at == std::string::npos)
            return "";
        const auto start = at + key.size() + 2;
        return line.substr(start, line.find(' ', start) - start);
    }

    PluginDir dir;
    CoreProcess core{dir};
};

TEST_F(CoreIntegration, EventsFlowBetweenRealPluginsSharingOneBlockAndStopOnSigint)
{
    addSink();
    add("producer.so", "id=0x00120000\nworker=1\npost_from=worker\npost_count=5\n"
                       "post_interval_ms=20\npost_type=0x8\npost_data=frame");
    add("rx1.so", "id=0x00130000\nsub3=0xFFFFFFFF");
    add("rx2.so", "id=0x00140000\nsub3=0xFFFFFFFF");
    add("deaf.so", "id=0x00150000\nsub3=0xFFFFFFFF\nwritable=0");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(dir.waitFor("rx2.so write type=0x8 flags=0x00000000 provider=0x00120000 len=8 ptr="));
    for (int i = 0; i < 200 && grep(dir.traceOf("rx2.so"), "write ").size() < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    core.stopWith(SIGINT);

    EXPECT_EQ(grep(dir.traceOf("producer.so"), "result=0").size(), 5u);
    const Lines first = grep(dir.traceOf("rx1.so"), "write ");
    const Lines second = grep(dir.traceOf("rx2.so"), "write ");
    ASSERT_EQ(first.size(), 5u);
    ASSERT_EQ(second.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(field(first[i], "text"), "frame#" + std::to_string(i));
        // One block, shared by every receiver of the event.
        EXPECT_EQ(field(first[i], "ptr"), field(second[i], "ptr"));
        EXPECT_EQ(field(first[i], "size"), std::to_string(sizeof(_WriteParmsIn)));
    }
    EXPECT_TRUE(grep(dir.traceOf("deaf.so"), "write ").empty());
}

TEST_F(CoreIntegration, DiscoveryOrderAndFilteringDecideTheLoadOrder)
{
    addSink();
    add("b.so", "id=0x00210000");
    add("A.so", "id=0x00220000");
    add("zLumbra.so", "id=0x00230000", "protected-plugins");
    add("a.so", "id=0x00240000", "protected-plugins");
    add("c.so.1", "id=0x00250000");
    add("sub/inner.so", "id=0x00260000");
    add("x.SO", "id=0x00270000");
    fs::create_directories(dir.root() / "plugins" / "dir.so");
    fs::create_symlink(dir.root() / "plugins" / "b.so", dir.root() / "plugins" / "link.so");
    dir.writeFile("conf/link.so.conf", "id=0x00280000");
    fs::create_symlink(dir.root() / "nowhere.so", dir.root() / "plugins" / "dangling.so");
    dir.writeFile("plugins/notes.txt", "notes");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    core.stopWith(SIGTERM);
    // link.so points at b.so's file, which is already loaded: the loader
    // returns the same library, whose Load answers b.so's ID again.
    EXPECT_EQ(order("load"),
              (Lines{"zLumbra.so", "A.so", "b.so", "b.so", "sink.so", "a.so"}));
    EXPECT_TRUE(logged("plugin link.so ID 0x00210000 already loaded"));
    EXPECT_EQ(order("open"), (Lines{"zLumbra.so", "A.so", "b.so", "sink.so", "a.so"}));
}

TEST_F(CoreIntegration, EveryRefusalIsLoggedAndEveryAcceptedPluginIsStillServed)
{
    addSink();
    dir.addPlugin("bad.so", "", DVR_NOT_A_PLUGIN);
    dir.addPlugin("noload.so", "", DVR_NO_LOAD_PLUGIN);
    add("err.so", "id=0x00300000\nload_error=5");
    add("neg.so", "id=0x00310000\nload_result=-9");
    add("first.so", "id=0x00120000\nsub3=0xFFFFFFFF");
    add("second.so", "id=0x00120000\nworker=1");
    add("huge.so", "id=0x01000000");
    add("imposter.so", "id=0x80000000");
    add("allfail.so", "id=0x00330000\nsub3=0xFFFFFFFF\nopen_result=-1\nclose_result=-2\n"
                      "unload_result=-3\nwrite_result=-4\nwrite_error=6");
    add("talker.so", "id=0x00340000\npost_from=open\npost_count=3\npost_data=hi");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(dir.waitFor("first.so write "));
    for (int i = 0; i < 200 && calls("allfail.so", "write") < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    core.stopWith(SIGINT);

    bool badLogged = false;
    for (const std::string &text : logTexts())
        badLogged |= text.rfind("Core: Failed to load plugin 'bad.so': ", 0) == 0 &&
                     text.find("bad.so") != std::string::npos && text.size() > 40;
    EXPECT_TRUE(badLogged);
    EXPECT_TRUE(logged("Core: Failed to load plugin: noload.so (missing symbol)"));
    EXPECT_TRUE(logged("plugin err.so load returned 0 error 5"));
    EXPECT_TRUE(logged("plugin neg.so load returned -9 error 0"));
    EXPECT_TRUE(logged("plugin second.so ID 0x00120000 already loaded"));
    EXPECT_TRUE(logged("plugin huge.so ID 0x01000000 exceeds the log level array size, set "
                       "LogLevelArraySize to 0xfff"));
    EXPECT_TRUE(logged("plugin imposter.so ID 0x80000000 already loaded"));

    // Refused plugins see Load only; accepted ones the whole life.
    for (const char *refused : {"err.so", "neg.so", "second.so", "huge.so", "imposter.so"})
        EXPECT_EQ(dir.traceOf(refused).size(), 1u) << refused;
    for (const char *accepted : {"sink.so", "first.so", "allfail.so", "talker.so"}) {
        EXPECT_EQ(calls(accepted, "open"), 1u) << accepted;
        EXPECT_EQ(calls(accepted, "close"), 1u) << accepted;
        EXPECT_EQ(calls(accepted, "unload"), 1u) << accepted;
    }
    EXPECT_EQ(calls("allfail.so", "write"), 3u);
    EXPECT_EQ(calls("first.so", "write"), 3u);
}

TEST_F(CoreIntegration, KeptBlocksOutliveDeliveryUntilTheirRelease)
{
    addSink();
    add("producer.so", "id=0x00120000\npost_from=open\npost_count=4\npost_data=keepme");
    add("keeper.so", "id=0x00130000\nsub3=0xFFFFFFFF\nkeep=1");
    add("plain.so", "id=0x00140000\nsub3=0xFFFFFFFF");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    for (int i = 0; i < 200 && grep(dir.traceOf("plain.so"), "write ").size() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    core.stopWith(SIGTERM);

    const Lines kept = grep(dir.traceOf("keeper.so"), "keep ptr=");
    const Lines released = grep(dir.traceOf("keeper.so"), "release ptr=");
    ASSERT_EQ(kept.size(), 4u);
    ASSERT_EQ(released.size(), 4u);  // three at the next write, the last at Close
    std::set<std::string> keptPointers, releasedPointers;
    for (size_t i = 0; i < 4; ++i) {
        keptPointers.insert(field(kept[i], "ptr"));
        EXPECT_NE(released[i].find("intact=1"), std::string::npos) << released[i];
    }
    // Each kept block was still whole when it was released, after the core
    // and the other receiver had let go of it.
    EXPECT_EQ(keptPointers.size(), 4u);
}

TEST_F(CoreIntegration, ClosesAndUnloadsByTheKind0x20WordLargestFirst)
{
    addSink();  // word 0
    add("five.so", "id=0x00120000\nsub5=5");
    add("zero.so", "id=0x00130000\nsub5=0");
    add("seven.so", "id=0x00140000\nsub5=7");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    core.stopWith(SIGTERM);
    EXPECT_EQ(order("open"), (Lines{"five.so", "seven.so", "sink.so", "zero.so"}));
    EXPECT_EQ(order("close"), (Lines{"seven.so", "five.so", "sink.so", "zero.so"}));
    EXPECT_EQ(order("unload"), (Lines{"seven.so", "five.so", "sink.so", "zero.so"}));
    // Every plugin is closed before the first is unloaded.
    EXPECT_LT(dir.find("zero.so close"), dir.find("seven.so unload"));
}

TEST_F(CoreIntegration, WorkerBeforeOpenReaderAfterItBothJoinedBeforeUnload)
{
    addSink();
    add("both.so", "id=0x00120000\nworker=1\nreadable=1\nopen_wait_worker=1");
    add("late.so", "id=0x00130000\nreadable=1\nreader_returns=1");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(dir.waitFor("both.so reader "));
    ASSERT_TRUE(dir.waitFor("late.so reader-end"));
    core.stopWith(SIGINT);
    const Lines both = dir.traceOf("both.so");
    EXPECT_EQ(field(grep(both, "open ").at(0), "worker_started"), "1");
    EXPECT_EQ(field(grep(both, "reader ").at(0), "opened"), "1");
    EXPECT_EQ(field(grep(both, "worker ").at(0), "code"), "1");
    const std::string unload = grep(both, "unload ").at(0);
    EXPECT_EQ(field(unload, "worker_done"), "1");
    EXPECT_EQ(field(unload, "reader_done"), "1");
    EXPECT_LT(dir.find("both.so worker-end"), dir.find("both.so unload"));
    EXPECT_LT(dir.find("both.so reader-end"), dir.find("both.so unload"));
}

TEST_F(CoreIntegration, ReadThreadsAreWaitedForBeforeTheirPluginIsUnloaded)
{
    addSink();
    add("asker.so", "id=0x00120000\nrequest_from=open\nrequest_key=21\nrequest_data=give");
    add("server.so", "id=0x00130000\nreadable=1\nreader_returns=1\nread_wait_close=1\n"
                     "read_answer=late answer");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(dir.waitFor("server.so read key=21 len=5 text=give"));
    core.stopWith(SIGTERM);  // while the read thread waits inside the plugin for its Close
    const int readEnd = dir.find("server.so read-end key=21");
    const int unload = dir.find("server.so unload");
    ASSERT_GE(readEnd, 0);
    ASSERT_GE(unload, 0);
    EXPECT_LT(readEnd, unload);
    EXPECT_EQ(field(dir.trace().at(unload), "reads_active"), "0");
    // The answer came after the stop request: refused with result 1.
    EXPECT_TRUE(dir.has("server.so answer key=21 result=1"));
}

TEST_F(CoreIntegration, WorkersPostingWhileLaterPluginsLoadAreServed)
{
    addSink();
    const std::string busy = "worker=1\nworker_returns=1\npost_from=worker\npost_count=100\n"
                             "post_data=early\nrequest_from=worker\nrequest_key=5\n";
    add("a1.so", "id=0x00120000\n" + busy);
    add("a2.so", "id=0x00130000\n" + busy);
    for (int i = 0; i < 6; ++i)
        add("z" + std::to_string(i) + ".so",
            "id=0x00" + std::to_string(40 + i) + "0000\nsub3=0xFFFFFFFF\nreadable=1\n"
            "reader_returns=1\nload_delay_ms=20");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    for (int i = 0; i < 300 && grep(dir.traceOf("z5.so"), "write ").size() < 200; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    core.stopWith(SIGINT);
    EXPECT_EQ(grep(dir.trace(), "post from=worker").size(), 200u);
    EXPECT_EQ(grep(dir.trace(), "result=0").size(), 202u);  // 200 posts and two requests
    for (int i = 0; i < 6; ++i) {
        const std::string name = "z" + std::to_string(i) + ".so";
        EXPECT_EQ(calls(name, "write"), 200u) << name;
        EXPECT_EQ(calls(name, "unload"), 1u) << name;
    }
}

TEST_F(CoreIntegration, PluginDefaultLevelFiltersItsOwnMessages)
{
    addSink();
    add("quiet.so", "id=0x00120000\nlevel=50\nlog_from=open\nlog_level=40\nlog_text=too low");
    add("loud.so", "id=0x00130000\nlevel=50\nlog_from=open\nlog_level=60\nlog_text=loud enough");
    add("unset.so", "id=0x00140000\nlog_from=open\nlog_level=1\nlog_text=anything goes");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(dir.waitFor("sink.so log provider=0x00130000 level=60 text=loud enough"));
    ASSERT_TRUE(dir.waitFor("sink.so log provider=0x00140000 level=1 text=anything goes"));
    core.stopWith(SIGTERM);
    EXPECT_FALSE(logged("too low"));
}

}  // namespace
