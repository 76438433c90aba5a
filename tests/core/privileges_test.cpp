// The parent's user ID from its status file, the cases that must leave the
// process's identity as it is, and a refused capability change, on a thread
// of its own (capabilities belong to each thread).
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "config/temp_dir.h"
#include "core/privileges.h"
#include "support/test_bus.h"

namespace {

// User, group and supplementary groups as one text.
std::string identity()
{
    gid_t groups[512];
    const int count = getgroups(512, groups);
    std::string text = std::to_string(getuid()) + "/" + std::to_string(getgid()) + "/";
    for (int i = 0; i < count; ++i)
        text += std::to_string(groups[i]) + ",";
    return text;
}

// A capability line of the calling thread's status file.
uint64_t threadCaps(const std::string &key)
{
    std::ifstream file("/proc/thread-self/status");
    for (std::string line; std::getline(file, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::stoull(line.substr(key.size() + 1), nullptr, 16);
    return ~0ull;
}

class PrivilegesTest : public ::testing::Test {
protected:
    // AdoptParentIdentity with a status file of `content` (none if empty).
    bool adopt(const std::string &content, uint32_t &parentUid)
    {
        if (!content.empty())
            dir.write("status", content);
        return Privileges(CoreLogger(TestBus::entry), dir.file("status")).AdoptParentIdentity(parentUid);
    }

    TempDir dir;
    TestBus bus;
    const std::string before = identity();
};

TEST_F(PrivilegesTest, TheParentsRealUserIdIsTheFirstNumberOfTheFirstUidLine)
{
    dir.write("status", "Name:\tparent\nUid:\t1000\t1001\t1002\t1003\nGid:\t10\t10\t10\t10\nUid:\t5\n");
    uint32_t uid = 0;
    EXPECT_TRUE(Privileges::readRealUid(dir.file("status"), uid));
    EXPECT_EQ(uid, 1000u);
    dir.write("status", "Name:\tparent\nGid:\t10\t10\t10\t10\n");
    EXPECT_FALSE(Privileges::readRealUid(dir.file("status"), uid));
    EXPECT_FALSE(Privileges::readRealUid(dir.file("missing"), uid));
}

TEST_F(PrivilegesTest, AParentOfTheCoresOwnUserChangesNothing)
{
    uint32_t parentUid = 12345;
    EXPECT_TRUE(adopt("Uid:\t" + std::to_string(getuid()) + "\t0\t0\t0\n", parentUid));
    EXPECT_EQ(parentUid, getuid());
    EXPECT_EQ(identity(), before);
    EXPECT_TRUE(bus.logLines().empty());
}

TEST_F(PrivilegesTest, AnUnreadableStatusFileIsLoggedAndTakenAsRoot)
{
    uint32_t parentUid = 12345;
    // Root stays root; anyone else fails to become root and stays as it was.
    EXPECT_EQ(adopt("", parentUid), getuid() == 0);
    EXPECT_EQ(parentUid, 0u);
    EXPECT_TRUE(bus.logged("no user ID in " + dir.file("status") + ": the parent is taken as root"));
    EXPECT_EQ(bus.logged("setuid/gid failed: Operation not permitted"), getuid() != 0);
    EXPECT_EQ(identity(), before);
}

TEST_F(PrivilegesTest, AParentUserWithoutAPasswordEntryFailsBeforeAnythingChanges)
{
    const uint32_t unknown = 3999999999u;
    if (getpwuid(unknown))
        GTEST_SKIP() << "user ID " << unknown << " has a password entry here";
    uint32_t parentUid = 0;
    EXPECT_FALSE(adopt("Uid:\t3999999999\t0\t0\t0\n", parentUid));
    ASSERT_EQ(bus.logLines().size(), 1u);
    EXPECT_EQ(bus.logLines()[0].level, 100u);
    EXPECT_EQ(bus.logLines()[0].text, "getpwuid failed: no such user");
    EXPECT_EQ(identity(), before);
}

TEST_F(PrivilegesTest, ARefusedCapabilityChangeStillDropsWhatLiesOutsideTheMask)
{
    const uint64_t netAdmin = 1u << 12, setuidCap = 1u << 7, opening = 0x23000;
    if ((threadCaps("CapPrm") & (opening | setuidCap)) != (opening | setuidCap))
        GTEST_SKIP() << "needs root with NET_ADMIN, NET_RAW, SYS_RAWIO and SETUID permitted";
    const uint64_t mainCaps = threadCaps("CapEff");
    uint64_t eff = 0, prm = 0, inh = 0;
    std::thread([&] {
        Privileges privileges(CoreLogger(TestBus::entry), "");
        // NET_RAW and SYS_RAWIO are gone after the first change, so the
        // second is refused: SETUID must not survive it.
        privileges.SetCapabilities(netAdmin | setuidCap);
        privileges.SetCapabilities(opening);
        eff = threadCaps("CapEff"), prm = threadCaps("CapPrm"), inh = threadCaps("CapInh");
    }).join();
    EXPECT_EQ(eff, netAdmin);
    EXPECT_EQ(prm, netAdmin);
    EXPECT_EQ(inh, 0u);
    ASSERT_EQ(bus.logLines().size(), 1u);
    EXPECT_EQ(bus.logLines()[0].level, 50u);
    EXPECT_EQ(bus.logLines()[0].text, "capset failed: Operation not permitted");
    EXPECT_EQ(threadCaps("CapEff"), mainCaps);  // the test's own thread is untouched
}

}  // namespace
