// The real core started as root by a parent that runs as user nobody, and a
// core that runs as nobody itself: the identity it ends with, and the
// capabilities it holds while plugins open and after.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>

#include "core_process.h"

namespace {

// The value of `key=` in a trace line.
std::string field(const std::string &line, const std::string &key)
{
    const auto at = line.find(" " + key + "=");
    const auto start = at + key.size() + 2;
    return at == std::string::npos ? "?" : line.substr(start, line.find(' ', start) - start);
}

// A /proc status line in the trace's form: "Uid=65534,65534,65534,65534".
std::string statusLine(pid_t pid, const std::string &key)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string word, text;
        if (!(words >> word) || word != key + ":")
            continue;
        while (words >> word)
            text += (text.empty() ? "" : ",") + word;
        return key + "=" + text;
    }
    return key + "?";
}

class PrivilegeIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        const passwd *entry = getpwnam("nobody");
        if (geteuid() != 0 || !entry)
            GTEST_SKIP() << "needs root and a user nobody: the core starts as root under a parent that is not";
        nobody = {entry->pw_uid, entry->pw_gid, std::vector<gid_t>(256)};
        int count = 256;
        ASSERT_GE(getgrouplist(entry->pw_name, entry->pw_gid, nobody.groups.data(), &count), 0);
        nobody.groups.resize(static_cast<size_t>(count));
        dir.addPlugin("sink.so", logSinkConfig() + "\ntrace_caps=1", DVR_TEST_PLUGIN);
    }
    std::string ids(const char *key, uint32_t id) const
    {
        const std::string one = std::to_string(id);
        return std::string(key) + "=" + one + "," + one + "," + one + "," + one;
    }
    std::vector<std::string> caps() { return grep(dir.traceOf("sink.so"), "caps at="); }

    PluginDir dir;
    CoreProcess core{dir};
    CoreProcess::User nobody{};
};

TEST_F(PrivilegeIntegration, RootCoreTakesOnTheParentsUserAndNarrowsItsCapabilitiesOncePluginsAreOpen)
{
    core.startAsUser(nobody, false);
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    std::sort(nobody.groups.begin(), nobody.groups.end());
    std::string groups;
    for (const gid_t id : nobody.groups)
        groups += (groups.empty() ? "" : ",") + std::to_string(id);
    EXPECT_EQ(statusLine(core.corePid(), "Uid"), ids("Uid", nobody.uid));
    EXPECT_EQ(statusLine(core.corePid(), "Gid"), ids("Gid", nobody.gid));
    EXPECT_EQ(statusLine(core.corePid(), "Groups"), "Groups=" + groups);
    // Capabilities belong to each thread: the main thread gave up raw I/O
    // once the plugins were open; the I/O thread, started before that and
    // carrying the plugins' packet calls, keeps it.
    const std::string tasks = "/proc/" + std::to_string(core.corePid()) + "/task/";
    std::string ioThread;
    for (const auto &task : boost::filesystem::directory_iterator(tasks)) {
        std::ifstream comm((task.path() / "comm").string());
        std::string name;
        if (std::getline(comm, name) && name == "dvrcore-io")
            ioThread = task.path().filename().string();
    }
    ASSERT_FALSE(ioThread.empty());
    EXPECT_EQ(statusLine(core.corePid(), "CapEff"), "CapEff=0000000000003000");
    EXPECT_EQ(statusLine(std::stoi(ioThread), "CapEff"), "CapEff=0000000000023000");
    core.stopWith(SIGTERM);

    // NET_ADMIN, NET_RAW and SYS_RAWIO while the plugin opened, NET_ADMIN
    // and NET_RAW when it closed.
    const auto lines = caps();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(field(lines[0], "at") + " " + field(lines[0], "CapEff") + " " + field(lines[0], "CapPrm"),
              "open 0000000000023000 0000000000023000");
    EXPECT_EQ(field(lines[1], "at") + " " + field(lines[1], "CapEff") + " " + field(lines[1], "CapPrm"),
              "close 0000000000003000 0000000000003000");
    EXPECT_TRUE(grep(dir.traceOf("sink.so"), "capset failed").empty());
}

TEST_F(PrivilegeIntegration, CoreOfTheParentsOwnUserLogsBothRefusedCapabilityChangesAndRunsOn)
{
    core.startAsUser(nobody, true);
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    // Initialising and after opening, both before the start message.
    EXPECT_EQ(grep(dir.traceOf("sink.so"), "log provider=0x80000000 level=50 text=capset failed: ").size(), 2u);
    EXPECT_TRUE(core.running());
    core.stopWith(SIGTERM);
    for (const std::string &line : caps())
        EXPECT_EQ(field(line, "CapEff"), "0000000000000000") << line;
}

}  // namespace
