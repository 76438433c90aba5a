// Loading, opening, closing and unloading real plugin shared objects in
// process, with the core's level-0 messages captured.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/plugin_dir.h"
#include "support/test_host.h"

namespace {

class PluginHost : public ::testing::Test {
protected:
    PluginHost()
    {
        dir.exportEnvironment();
        core.sourceNames.set(DVR_PROVIDER_CORE, "core");
        core.logLevels.set(0, 0);  // the core's level-0 messages pass
    }
    ~PluginHost() override
    {
        if (!core.host.list().empty()) {
            core.host.closePlugins();
            core.host.unloadPlugins();
        }
        unsetenv("DVR_LOAD_ONLY_ID");
        unsetenv("DVR_LOAD_ONLY_THREADS");
    }

    boost::filesystem::path add(const std::string &name, const std::string &config,
                                const std::string &subdir = "plugins")
    {
        return dir.addPlugin(name, config, DVR_TEST_PLUGIN, subdir);
    }
    bool load() { return core.host.loadPlugins(dir.root()); }
    void runAll()
    {
        core.host.openPlugins();
        core.host.startReaderThreads();
        core.host.closePlugins();
        core.host.unloadPlugins();
    }
    std::vector<std::string> pluginNames()
    {
        std::vector<std::string> names;
        for (const PLUGININFO &plugin : core.host.list())
            names.push_back(plugin.fileName);
        return names;
    }
    // The level of the first captured line equal to `text`, or -1000.
    int levelOf(const std::string &text)
    {
        for (const LogLine &line : core.logLines())
            if (line.text == text)
                return static_cast<int>(line.level);
        return -1000;
    }
    std::vector<std::string> entryOrder(const std::string &entry)
    {
        std::vector<std::string> names;
        for (const std::string &line : dir.trace()) {
            const auto space = line.find(' ');
            if (line.compare(space + 1, entry.size() + 1, entry + " ") == 0)
                names.push_back(line.substr(0, space));
        }
        return names;
    }

    PluginDir dir;
    TestHost core;
};

using Names = std::vector<std::string>;

TEST_F(PluginHost, LoadsInDiscoveryOrderAndNamesEachSourceByItsLoweredStem)
{
    add("b.so", "id=0x00120000");
    add("Alpha.Cam.so", "id=0x00130000");
    add("p.so", "id=0x00140000", "protected-plugins");
    EXPECT_TRUE(load());
    EXPECT_EQ(pluginNames(), (Names{"Alpha.Cam.so", "b.so", "p.so"}));
    EXPECT_EQ(core.sourceNames.snapshot().at(0x00130000), "alpha.cam");
    EXPECT_EQ(core.sourceNames.snapshot().at(0x00120000), "b");
    EXPECT_EQ(levelOf("Core: Loaded plugin: b.so"), 0);
    EXPECT_EQ(core.host.list()[0].openCode, 0);
    EXPECT_EQ(core.host.list()[0].loadOut.pluginId, 0x00130000u);
}

TEST_F(PluginHost, HandsLoadItsRecordsPresetAsTheInterfaceSays)
{
    add("a.so", "id=0x00120000");
    ASSERT_TRUE(load());
    EXPECT_EQ(dir.traceOf("a.so").at(0),
              "load in.size=" + std::to_string(sizeof(_LoadParmsIn)) +
                  " in.version=4 core=1 entry=1 out.size=" + std::to_string(sizeof(_LoadParmsOut)) +
                  " out.version=2 id=0x00120000");
    EXPECT_EQ(core.host.list()[0].loadOut.size, sizeof(_LoadParmsOut));
}

TEST_F(PluginHost, EmptyDirectoriesLoadNothingAndTheRestDoesNothing)
{
    EXPECT_FALSE(load());
    runAll();
    EXPECT_TRUE(core.host.list().empty());
    EXPECT_TRUE(core.logLines().empty());
}

TEST_F(PluginHost, FileThatIsNotASharedObjectIsRecordedAsFailed)
{
    dir.addPlugin("bad.so", "", DVR_NOT_A_PLUGIN);
    add("good.so", "id=0x00120000");
    EXPECT_TRUE(load());
    ASSERT_EQ(core.host.failed().count("bad.so"), 1u);
    const std::string reason = core.host.failed().at("bad.so");
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(levelOf("Core: Failed to load plugin 'bad.so': " + reason), 100);
    EXPECT_EQ(pluginNames(), (Names{"good.so"}));
}

TEST_F(PluginHost, SameFileNameFailingInBothDirectoriesKeepsTheLaterError)
{
    dir.writeFile("plugins/x.so", "not elf");
    dir.writeFile("protected-plugins/x.so", "");
    EXPECT_FALSE(load());
    ASSERT_EQ(core.host.failed().size(), 1u);
    EXPECT_NE(core.host.failed().at("x.so").find("protected-plugins/x.so"), std::string::npos);
}

TEST_F(PluginHost, SharedObjectWithoutLoadIsRefused)
{
    dir.addPlugin("noload.so", "", DVR_NO_LOAD_PLUGIN);
    EXPECT_FALSE(load());
    EXPECT_EQ(levelOf("Core: Failed to load plugin: noload.so (missing symbol)"), 100);
    EXPECT_TRUE(core.host.failed().empty());
    EXPECT_TRUE(core.host.list().empty());
}

TEST_F(PluginHost, LoadErrorRefusesThePluginWithBothValues)
{
    add("err.so", "id=0x00120000\nload_error=5\nworker=1");
    add("ret.so", "id=0x00130000\nload_result=-3");
    EXPECT_FALSE(load());
    EXPECT_EQ(levelOf("plugin err.so load returned 0 error 5"), 100);
    EXPECT_EQ(levelOf("plugin ret.so load returned -3 error 0"), 100);
    EXPECT_FALSE(core.sourceNames.contains(0x00120000));
    EXPECT_TRUE(core.host.failed().empty());
    EXPECT_TRUE(dir.traceOf("err.so").size() == 1u);  // Load only: no worker, no Unload
}

TEST_F(PluginHost, DuplicateIdKeepsTheFirstAndRefusesTheLaterWithoutAWorker)
{
    add("first.so", "id=0x00120000");
    add("second.so", "id=0x00120000\nworker=1");
    EXPECT_TRUE(load());
    EXPECT_EQ(pluginNames(), (Names{"first.so"}));
    EXPECT_EQ(levelOf("plugin second.so ID 0x00120000 already loaded"), 50);
    runAll();
    EXPECT_EQ(dir.traceOf("second.so"), (Names{dir.traceOf("second.so").at(0)}));
}

TEST_F(PluginHost, TheCoresOwnIdIsAlreadyTaken)
{
    add("imposter.so", "id=0x80000000");
    EXPECT_FALSE(load());
    EXPECT_EQ(levelOf("plugin imposter.so ID 0x80000000 already loaded"), 50);
    EXPECT_EQ(core.sourceNames.snapshot().at(DVR_PROVIDER_CORE), "core");
}

TEST_F(PluginHost, IdBeyondTheLevelTablesIsRefusedAndIndex255IsAcceptedWithoutLevels)
{
    add("big.so", "id=0x01000000");
    add("edge.so", "id=0x00FF0000\nlevel=40");
    EXPECT_TRUE(load());
    EXPECT_EQ(levelOf("plugin big.so ID 0x01000000 exceeds the log level array size, set "
                      "LogLevelArraySize to 0xfff"),
              100);
    EXPECT_EQ(pluginNames(), (Names{"edge.so"}));
    for (uint32_t i = 1; i < LogLevelTable::kSize; ++i)
        ASSERT_EQ(core.defaultLogLevels.get(i), -1) << i;
}

TEST_F(PluginHost, GarbageIdsAreRefusedPrintedAsEightUpperCaseDigits)
{
    add("a.so", "id=0xdeadbeef");
    add("b.so", "id=0xFFFFFFFF\nworker=1");
    add("c.so", "id=0x00120000");
    EXPECT_TRUE(load());
    EXPECT_TRUE(core.logged("plugin a.so ID 0xDEADBEEF exceeds the log level array size, set "
                            "LogLevelArraySize to 0xfff"));
    EXPECT_TRUE(core.logged("plugin b.so ID 0xFFFFFFFF exceeds the log level array size, set "
                            "LogLevelArraySize to 0xfff"));
    EXPECT_EQ(pluginNames(), (Names{"c.so"}));
    EXPECT_FALSE(dir.has("b.so worker "));
}

TEST_F(PluginHost, AppliesDefaultLevelsOnlyWithinRangeAndKeepsConfiguredThresholds)
{
    add("a.so", "id=0x00050000\nlevel=40");
    add("b.so", "id=0x00060000\nlevel=40");
    add("c.so", "id=0x00070000\nlevel=101");
    add("d.so", "id=0x00080000\nlevel=-2");
    add("e.so", "id=0x00090000\nlevel=0");
    add("f.so", "id=0x000A0000\nlevel=-1");
    core.logLevels.set(6, 10);
    core.logLevels.set(10, 30);
    ASSERT_TRUE(load());
    EXPECT_EQ(core.logLevels.get(5), 40);
    EXPECT_EQ(core.defaultLogLevels.get(5), 40);
    EXPECT_EQ(core.logLevels.get(6), 10);
    EXPECT_EQ(core.defaultLogLevels.get(6), 40);
    for (uint32_t i : {7u, 8u, 9u}) {
        EXPECT_EQ(core.logLevels.get(i), -1) << i;
        EXPECT_EQ(core.defaultLogLevels.get(i), -1) << i;
    }
    EXPECT_EQ(core.defaultLogLevels.get(10), -1);
    EXPECT_EQ(core.logLevels.get(10), 30);
}

TEST_F(PluginHost, PluginExportingLoadOnlyIsOpenedClosedAndUnloadedWithMinus100)
{
    dir.addPlugin("load_only.so", "", DVR_LOAD_ONLY_PLUGIN);
    setenv("DVR_LOAD_ONLY_THREADS", "1", 1);
    ASSERT_TRUE(load());
    EXPECT_FALSE(core.host.list()[0].workerThread.joinable());
    core.host.openPlugins();
    EXPECT_EQ(core.host.list()[0].openCode, -100);
    core.host.startReaderThreads();
    EXPECT_FALSE(core.host.list()[0].readerThread.joinable());
    core.host.closePlugins();
    core.host.unloadPlugins();
    EXPECT_EQ(levelOf("plugin load_only.so close returned -100 error 0"), 0);
    EXPECT_EQ(levelOf("plugin load_only.so unload returned -100 error 0"), 0);
    EXPECT_TRUE(core.host.list().empty());
}

TEST_F(PluginHost, OpenStoresItsResultAndLogsNothing)
{
    add("a.so", "id=0x00120000\nopen_result=-7");
    ASSERT_TRUE(load());
    const size_t before = core.logLines().size();
    core.host.openPlugins();
    EXPECT_EQ(core.host.list()[0].openCode, -7);
    EXPECT_EQ(core.logLines().size(), before);
}

TEST_F(PluginHost, FailingCloseAndUnloadAreLoggedAndTheLibraryStillGoes)
{
    const auto path = add("a.so", "id=0x00120000\nclose_result=2\nclose_error=3\nunload_error=4");
    ASSERT_TRUE(load());
    runAll();
    EXPECT_EQ(levelOf("plugin a.so close returned 2 error 3"), 0);
    EXPECT_EQ(levelOf("plugin a.so unload returned 0 error 4"), 0);
    EXPECT_EQ(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(PluginHost, ClosesAndUnloadsByTheKind0x20WordLargestFirstStable)
{
    add("a.so", "id=0x00120000\nsub5=5");
    add("b.so", "id=0x00130000\nsub5=0");
    add("c.so", "id=0x00140000\nsub5=7");
    add("d.so", "id=0x00150000\nsub5=5");
    add("e.so", "id=0x00160000\nsub5=0xF0000000");
    ASSERT_TRUE(load());
    runAll();
    const Names order{"e.so", "c.so", "a.so", "d.so", "b.so"};
    EXPECT_EQ(entryOrder("close"), order);
    EXPECT_EQ(entryOrder("unload"), order);
    EXPECT_EQ(entryOrder("open"), (Names{"a.so", "b.so", "c.so", "d.so", "e.so"}));
}

TEST_F(PluginHost, LibraryOfId0x00470000StaysMappedAfterItsUnload)
{
    const auto resident = add("resident.so", "id=0x00470000");
    const auto other = add("other.so", "id=0x00480000");
    ASSERT_TRUE(load());
    runAll();
    EXPECT_TRUE(dir.has("resident.so unload"));
    void *handle = dlopen(resident.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr);
    if (handle)
        dlclose(handle);
    EXPECT_EQ(dlopen(other.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(PluginHost, SeekIsResolvedButNeverCalled)
{
    add("a.so", "id=0x00120000\nworker=1\nreadable=1");
    ASSERT_TRUE(load());
    EXPECT_NE(core.host.list()[0].Seek, nullptr);
    runAll();
    EXPECT_FALSE(dir.has("a.so seek"));
}


TEST(PluginHostTiming, LoadAndOpenAreTimedWithTheCoresClockInWholeMilliseconds)
{
    PluginDir dir;
    dir.exportEnvironment();
    TestHost core;
    core.clock.stepEachReading(std::chrono::microseconds(2500));
    dir.addPlugin("a.so", "id=0x00120000", DVR_TEST_PLUGIN);
    ASSERT_TRUE(core.host.loadPlugins(dir.root()));
    core.host.openPlugins();
    EXPECT_EQ(core.host.list()[0].loadTimeMs, 2);
    EXPECT_EQ(core.host.list()[0].openTimeMs, 2);
    core.host.closePlugins();
    core.host.unloadPlugins();
}

TEST_F(PluginHost, WorkerPostsWhileLaterPluginsLoadAndEveryPluginIsServed)
{
    // Early plugins' workers post events and read requests while later
    // plugins are still being appended to the list.
    std::string busy = "worker=1\nworker_returns=1\npost_from=worker\npost_count=200\n"
                       "request_from=worker\nrequest_key=9\n";
    add("a1.so", "id=0x00120000\n" + busy);
    add("a2.so", "id=0x00130000\n" + busy);
    for (int i = 0; i < 8; ++i)
        add("z" + std::to_string(i) + ".so", "id=0x00" + std::to_string(20 + i) +
                                                 "0000\nreadable=1\nreader_returns=1\nload_delay_ms=2");
    ASSERT_TRUE(load());
    EXPECT_EQ(core.host.list().size(), 10u);
    runAll();
    EXPECT_EQ(grep(dir.trace(), "post from=worker").size(), 400u);
    EXPECT_EQ(grep(dir.trace(), " unload ").size(), 10u);
}

}  // namespace

namespace {

TEST_F(PluginHost, ParentPacketsGoToTheFirstPluginWhoseIdMatchesTheTarget)
{
    // a.so and b.so share bits 16..27 of their IDs; only the first gets them.
    add("a.so", "id=0x00050000\nipc_result=3\nipc_error=4\n");
    add("b.so", "id=0x10050000\n");
    add("c.so", "id=0x00060000\n");
    ASSERT_TRUE(load());
    auto send = [&](uint32_t target, const std::string &payload) {
        std::vector<uint8_t> bytes(16 + payload.size());
        const _IpcPacketHeader header{static_cast<uint32_t>(bytes.size()), target, 100, 9};
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + 16, payload.data(), payload.size());
        core.host.deliverParentPacket(target, bytes.data(), header.length);
    };
    send(0x00500000, "first");
    send(0x005FFFFF, "low bits ignored");
    send(0x00600000, "for c");
    send(0x00700000, "for nobody");
    EXPECT_EQ(grep(dir.traceOf("a.so"), "ipc"),
              (std::vector<std::string>{
                  "ipc length=21 target=0x00500000 command=100 tag=9 paramSize=16 text=first",
                  "ipc length=32 target=0x005FFFFF command=100 tag=9 paramSize=16 text=low bits ignored"}));
    EXPECT_EQ(grep(dir.traceOf("b.so"), "ipc").size(), 0u);
    EXPECT_EQ(grep(dir.traceOf("c.so"), "ipc"), (std::vector<std::string>{
        "ipc length=21 target=0x00600000 command=100 tag=9 paramSize=16 text=for c"}));
    EXPECT_EQ(levelOf("plugin a.so ipc ioctl returned 3 error 4"), 0);
    EXPECT_EQ(levelOf("plugin c.so ipc ioctl returned 0 error 0"), -1000);
}

}  // namespace
