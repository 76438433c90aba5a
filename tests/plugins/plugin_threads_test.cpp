// Worker and reader threads, driven with in-process entry points
// and with the real test plugin.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "plugins/plugin_threads.h"
#include "support/plugin_dir.h"
#include "support/test_host.h"

namespace {

_IoctlParmsIn seenIoctlIn;
_IoctlParmsOut seenIoctlOut;
std::atomic<std::thread::id> ioctlThread;

int recordIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    seenIoctlIn = *in;
    seenIoctlOut = *out;
    ioctlThread = std::this_thread::get_id();
    return -5;  // ignored
}

// For tests that run many workers at once: shared state must be atomic.
std::atomic<int> workerCalls{0};

int countWorkerIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *)
{
    if (in->code == IOCTL_RUN_WORKER)
        ++workerCalls;
    return 0;
}

_ReadParmsIn seenReadIn;
_ReadParmsOut seenReadOut;

int recordRead(const _ReadParmsIn *in, _ReadParmsOut *out)
{
    seenReadIn = *in;
    seenReadOut = *out;
    return 3;  // ignored
}

TEST(PluginThreads, WorkerCallsIoctlOnceWithCodeOneOnAThreadOfItsOwn)
{
    PLUGININFO plugin;
    plugin.IOCTL = recordIoctl;
    ASSERT_TRUE(ProvideWorkerThread(plugin));
    ASSERT_TRUE(plugin.workerThread.joinable());
    plugin.workerThread.join();
    EXPECT_NE(ioctlThread.load(), std::this_thread::get_id());
    EXPECT_EQ(seenIoctlIn.size, sizeof(_IoctlParmsIn));
    EXPECT_EQ(seenIoctlIn.version, 1u);
    EXPECT_EQ(seenIoctlIn.code, IOCTL_RUN_WORKER);
    EXPECT_EQ(seenIoctlIn.paramSize, 8u);
    EXPECT_EQ(seenIoctlIn.paramVersion, 1u);
    EXPECT_EQ(seenIoctlIn.length, 0u);
    EXPECT_EQ(seenIoctlIn.data, nullptr);
    EXPECT_EQ(seenIoctlOut.size, sizeof(_IoctlParmsOut));
    EXPECT_EQ(seenIoctlOut.code, IOCTL_RUN_WORKER);
    EXPECT_EQ(seenIoctlOut.error, 0);
    EXPECT_EQ(seenIoctlOut.keep, 0u);
    EXPECT_EQ(seenIoctlOut.paramSize, 8u);
    EXPECT_EQ(seenIoctlOut.paramVersion, 1u);
}

TEST(PluginThreads, ReaderCallsReadOnceWithNoRequest)
{
    PLUGININFO plugin;
    plugin.Read = recordRead;
    ASSERT_TRUE(StartAsyncReader(plugin));
    plugin.readerThread.join();
    EXPECT_EQ(seenReadIn.size, sizeof(_ReadParmsIn));
    EXPECT_EQ(seenReadIn.version, 1u);
    EXPECT_EQ(seenReadIn.reserved0, 0u);
    EXPECT_EQ(seenReadIn.isRead, 1u);
    EXPECT_EQ(seenReadIn.len, 0u);
    EXPECT_EQ(seenReadIn.data, nullptr);
    EXPECT_EQ(seenReadIn.requestKey, 0u);
    EXPECT_EQ(seenReadOut.size, sizeof(_ReadParmsOut));
    EXPECT_EQ(seenReadOut.version, 1u);
    EXPECT_EQ(seenReadOut.reserved[0] | seenReadOut.reserved[1] | seenReadOut.reserved[2], 0u);
}

TEST(PluginThreads, NoEntryPointNoThread)
{
    PLUGININFO plugin;
    EXPECT_FALSE(ProvideWorkerThread(plugin));
    EXPECT_FALSE(StartAsyncReader(plugin));
    EXPECT_FALSE(plugin.workerThread.joinable());
    EXPECT_FALSE(plugin.readerThread.joinable());
}

TEST(PluginThreads, ThreadsSurviveTheRecordMovingAndSorting)
{
    workerCalls = 0;
    std::vector<PLUGININFO> list;
    for (int i = 0; i < 20; ++i) {
        PLUGININFO plugin;
        plugin.IOCTL = countWorkerIoctl;
        ASSERT_TRUE(ProvideWorkerThread(plugin));
        list.push_back(std::move(plugin));
    }
    for (PLUGININFO &plugin : list)
        plugin.workerThread.join();
    EXPECT_EQ(workerCalls.load(), 20);
}

class RealPluginThreads : public ::testing::Test {
protected:
    RealPluginThreads()
    {
        dir.exportEnvironment();
        core.sourceNames.set(DVR_PROVIDER_CORE, "core");
    }
    PluginDir dir;
    TestHost core;
};

TEST_F(RealPluginThreads, WorkerRunsBeforeOpenReaderAfterItBothJoinedBeforeUnload)
{
    dir.addPlugin("both.so", "id=0x00120000\nworker=1\nreadable=1\nopen_wait_worker=1",
                  DVR_TEST_PLUGIN);
    ASSERT_TRUE(core.host.loadPlugins(dir.root()));
    EXPECT_TRUE(core.host.list()[0].workerThread.joinable());
    EXPECT_FALSE(core.host.list()[0].readerThread.joinable());
    core.host.openPlugins();
    core.host.startReaderThreads();
    EXPECT_TRUE(core.host.list()[0].readerThread.joinable());
    ASSERT_TRUE(dir.waitFor("both.so reader "));
    core.host.closePlugins();
    core.host.unloadPlugins();

    const auto lines = dir.traceOf("both.so");
    EXPECT_EQ(grep(lines, "open ").at(0).substr(grep(lines, "open ").at(0).rfind(' ') + 1),
              "worker_started=1");
    EXPECT_NE(grep(lines, "reader ").at(0).find("opened=1"), std::string::npos);
    ASSERT_EQ(grep(lines, "unload ").size(), 1u);
    EXPECT_NE(grep(lines, "unload ").at(0).find("worker_done=1 reader_done=1 reads_active=0"),
              std::string::npos);
}

TEST_F(RealPluginThreads, WorkerThatReturnsAtOnceIsJoinedWithoutWaiting)
{
    dir.addPlugin("quick.so", "id=0x00120000\nworker=1\nworker_returns=1", DVR_TEST_PLUGIN);
    ASSERT_TRUE(core.host.loadPlugins(dir.root()));
    ASSERT_TRUE(dir.waitFor("quick.so worker-end"));
    core.host.openPlugins();
    core.host.closePlugins();
    core.host.unloadPlugins();
    EXPECT_TRUE(dir.has("quick.so unload"));
}

TEST_F(RealPluginThreads, NoPluginIsUnloadedWhileOneOfItsReadThreadsIsInsideIt)
{
    dir.addPlugin("slow.so", "id=0x00120000\nreadable=1\nreader_returns=1\nread_sleep_ms=300",
                  DVR_TEST_PLUGIN);
    ASSERT_TRUE(core.host.loadPlugins(dir.root()));
    core.host.openPlugins();
    core.host.startReaderThreads();
    _EventParmsIn request = makeEvent(DVR_PROVIDER_TO_CORE, 0x8);
    request.requestKey = 11;
    EXPECT_EQ(core.post(request), 0);
    ASSERT_TRUE(dir.waitFor("slow.so read key=11"));
    core.host.closePlugins();
    core.host.unloadPlugins();  // waits for the read thread, then unloads
    const int readEnd = dir.find("slow.so read-end key=11");
    const int unload = dir.find("slow.so unload");
    ASSERT_GE(readEnd, 0);
    ASSERT_GE(unload, 0);
    EXPECT_LT(readEnd, unload);
    EXPECT_NE(dir.trace().at(unload).find("reads_active=0"), std::string::npos);
}

TEST_F(RealPluginThreads, ReadRequestsAfterUnloadStartNoThreadInTheRetiredPlugin)
{
    dir.addPlugin("r.so", "id=0x00120000\nreadable=1\nreader_returns=1", DVR_TEST_PLUGIN);
    ASSERT_TRUE(core.host.loadPlugins(dir.root()));
    core.host.openPlugins();
    core.host.closePlugins();
    core.host.unloadPlugins();
    _EventParmsIn request = makeEvent(DVR_PROVIDER_TO_CORE, 0x8);
    request.requestKey = 12;
    EXPECT_EQ(core.post(request), 0);
    EXPECT_EQ(core.readRequests.runningThreads(0x00120000), 0);
    EXPECT_FALSE(dir.has("r.so read key=12"));
}

}  // namespace
