// The real core under the parent stand-in: settings, a packet to a plugin and
// its answer back to the parent, and the stop packet.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <fstream>
#include <sstream>

#include "core_process.h"

namespace {

std::string readFile(const boost::filesystem::path &path)
{
    std::ifstream file(path.string());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(ParentLinkIntegration, PacketsMakeTheRoundTripAndTheStopPacketEndsTheCore)
{
    PluginDir dir;
    dir.addPlugin("echo.so", "id=0x00050000\nipc_reply=1\n", DVR_TEST_PLUGIN);
    dir.addPlugin("sink.so", logSinkConfig(), DVR_TEST_PLUGIN);
    CoreProcess core(dir);
    core.startUnderParent({"--stdin", "--name", "parent.bin", "--version", "9.9"});
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();

    // The settings came before the status was first written.
    const std::string status = readFile(dir.root() / "core.xml");
    EXPECT_NE(status.find("parent.bin"), std::string::npos) << status;
    EXPECT_NE(status.find("9.9"), std::string::npos) << status;

    // Target 0x00500000 is the plugin with ID 0x00050000; its answer goes up.
    core.toParent("0x00500000 300 hello\n0x00600000 300 nobody\n0x00512345 302 again\n");
    ASSERT_TRUE(core.waitForOutput("target 0x00512345 command 303 tag 0: reply:again"))
        << core.standardOutput();
    EXPECT_NE(core.standardOutput().find("target 0x00500000 command 301 tag 0: reply:hello"),
              std::string::npos);
    EXPECT_EQ(grep(dir.traceOf("echo.so"), "ipc length=").size(), 2u);

    // SIGTERM to the parent becomes the stop packet; the core ends cleanly
    // and the parent passes on its status.
    core.signal(SIGTERM);
    int exitStatus = -1;
    ASSERT_TRUE(core.waitForExit(exitStatus));
    ASSERT_TRUE(WIFEXITED(exitStatus)) << exitStatus;
    EXPECT_EQ(WEXITSTATUS(exitStatus), 0) << core.standardError();
    EXPECT_TRUE(dir.has("echo.so close"));
    EXPECT_FALSE(dir.has("sink.so log provider=0x80000000 level=100 text=tornel ipc pipe"));
}

}  // namespace
