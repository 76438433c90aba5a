// The configuration files with the real process: product.xml and core.xml
// read at start, core.xml written with the status, and a plugin's Delta
// document changing a threshold, re-saved and re-broadcast to every plugin.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core_process.h"

namespace {

using Lines = std::vector<std::string>;

class ConfigurationIntegration : public ::testing::Test {
protected:
    void add(const std::string &name, const std::string &config)
    {
        dir.addPlugin(name, config, DVR_TEST_PLUGIN);
    }
    std::string coreXml() const
    {
        std::ifstream file((dir.root() / "core.xml").string(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }
    // Configuration documents a plugin received through IOCTL code 2.
    Lines documentsOf(const std::string &plugin) { return grep(dir.traceOf(plugin), "ioctl code=2 "); }
    // Polls (bounded) until `plugin` has received a document holding every needle.
    bool waitForDocument(const std::string &plugin, const Lines &needles)
    {
        for (int i = 0; i < 1000; ++i) {
            for (const std::string &line : documentsOf(plugin)) {
                size_t found = 0;
                for (const std::string &needle : needles)
                    found += line.find(needle) != std::string::npos;
                if (found == needles.size())
                    return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    PluginDir dir;
    CoreProcess core{dir};
};

const char kDelta[] = "<Qarn Delta=\"1\"><Modules><Module><Plugin ID=\"327680\" LogLevel=\"50\"/>"
                      "</Module></Modules></Qarn>";

}  // namespace

TEST_F(ConfigurationIntegration, StartReadsBothFilesWritesTheStatusAndSendsItToEveryPlugin)
{
    dir.writeFile("product.xml", "<Info><Product Family=\"Harbour\" Version=\"9.9.1\"/></Info>");
    // The sink's threshold 40 comes from core.xml; it asks for no default.
    dir.writeFile("core.xml",
                  "<Qarn><Memory Throttling=\"0\"/><Modules><Module>"
                  "<Plugin ID=\"7340032\" LogLevel=\"40\"/></Module></Modules></Qarn>");
    add("sink.so", logSinkConfig() + "\nlog_from=open\nlog_level=30\nlog_text=quiet");
    add("loud.so", "id=0x00710000\nlog_from=open\nlog_level=30\nlog_text=heard");
    dir.writeFile("plugins/broken.so", "not a shared object");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    ASSERT_TRUE(waitForDocument("loud.so", {"<Product Family=\"Harbour\" Version=\"9.9.1\" />"}));
    core.stopWith(SIGTERM);

    EXPECT_FALSE(grep(dir.traceOf("sink.so"), "successfully started core version 9.9.1").empty());
    EXPECT_TRUE(grep(dir.traceOf("sink.so"), "text=quiet").empty()) << "below its threshold of 40";
    EXPECT_FALSE(grep(dir.traceOf("sink.so"), "text=heard").empty());
    const std::string saved = coreXml();
    EXPECT_NE(saved.find("<Memory ID=\"-2147483648\" Throttling=\"0\" />"), std::string::npos);
    EXPECT_NE(saved.find("Name=\"Core\" Version=\"9.9.1\">"), std::string::npos);
    EXPECT_TRUE(std::regex_search(saved, std::regex("<Plugin ID=\"7340032\" Filename=\"sink.so\" "
                                                    "Opened=\"1\" LoadTimeMs=\"[0-9]+\" "
                                                    "OpenTimeMs=\"[0-9]+\" OpenCode=\"0\" "
                                                    "LogLevel=\"40\" LogLevelDefault=\"-1\" />")))
        << saved;
    EXPECT_NE(saved.find("<Plugin ID=\"1\" Filename=\"broken.so\""), std::string::npos);
    // Both plugins got the same status document, compact.
    ASSERT_EQ(documentsOf("sink.so").size(), 1u);
    EXPECT_NE(documentsOf("sink.so")[0].find("text=<?xml ?><Qarn Delta=\"0\"><Memory"),
              std::string::npos);
    EXPECT_FALSE(boost::filesystem::exists(dir.root() / "core.xml.pending"));
}

TEST_F(ConfigurationIntegration, DeltaFromAPluginChangesTheThresholdSavesAndReachesTheOthers)
{
    add("sink.so", logSinkConfig());
    add("sender.so", std::string("id=0x00070000\nworker=1\npost_from=worker\npost_type=0x100\n"
                                 "post_flags=0x10\npost_data=") + kDelta);
    add("target.so", "id=0x00050000\nlevel=20");
    add("keeper.so", "id=0x00060000\nconfig_keep=1");
    core.start();
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();
    const Lines changed = {"Delta=\"0\"", "<Plugin ID=\"327680\" Filename=\"target.so\"",
                           "LogLevel=\"50\" LogLevelDefault=\"20\""};
    ASSERT_TRUE(waitForDocument("sender.so", changed));
    ASSERT_TRUE(waitForDocument("keeper.so", changed));
    core.stopWith(SIGTERM);

    // Every plugin but the sender got the Delta document itself.
    for (const char *plugin : {"sink.so", "target.so", "keeper.so"})
        EXPECT_EQ(grep(documentsOf(plugin), std::string("text=") + kDelta).size(), 1u) << plugin;
    EXPECT_TRUE(grep(documentsOf("sender.so"), "Delta=\"1\"").empty());
    // The file was rewritten with the new threshold.
    EXPECT_NE(coreXml().find("Filename=\"target.so\" Opened=\"1\" LoadTimeMs="), std::string::npos);
    EXPECT_NE(coreXml().find("LogLevel=\"50\" LogLevelDefault=\"20\""), std::string::npos);
    // The keeper held every block until Close, and each was intact then.
    const Lines kept = grep(documentsOf("keeper.so"), "keep=1");
    const Lines released = grep(dir.traceOf("keeper.so"), "release ptr=");
    EXPECT_EQ(kept.size(), 3u) << "the Delta and two status documents";
    EXPECT_EQ(released.size(), kept.size());
    EXPECT_TRUE(grep(released, "intact=0").empty());
}
