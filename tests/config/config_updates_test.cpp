// Configuration documents from plugins: which change thresholds, and the
// save and broadcast that follow a change.
#include "config/config_updates.h"

#include <gtest/gtest.h>

#include "config/status_keeper.h"
#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

std::string delta(const std::string &plugins, const std::string &rootAttributes = "Delta=\"1\"")
{
    return "<Qarn " + rootAttributes + "><Modules><Module>" + plugins +
           "</Module></Modules></Qarn>";
}

std::string plugin(const std::string &id, const std::string &level)
{
    return "<Plugin ID=\"" + id + "\" LogLevel=\"" + level + "\"/>";
}

class ConfigUpdatesTest : public ::testing::Test {
protected:
    ConfigUpdatesTest()
    {
        levels.set(0, 25);
        defaults.set(0, 25);
        defaults.set(5, 30);
    }
    bool apply(const std::string &text) { return applyDelta(text, levels, defaults); }

    LogLevelTable levels;
    LogLevelTable defaults;
};

}  // namespace

TEST_F(ConfigUpdatesTest, DeltaDocumentsChangeThresholds)
{
    EXPECT_TRUE(apply(delta(plugin("327680", "50"))));
    EXPECT_EQ(levels.get(5), 50);
    EXPECT_FALSE(apply(delta(plugin("327680", "50")))) << "same value: no change";
    EXPECT_TRUE(apply(delta(plugin("327680", "-1"))));
    EXPECT_EQ(levels.get(5), 30) << "back to the default";
    levels.set(6, 10);
    EXPECT_TRUE(apply(delta(plugin("393216", "-1"))));
    EXPECT_EQ(levels.get(6), -1) << "no default: unset";
    EXPECT_TRUE(apply(delta(plugin("-2147483648", "0"))));
    EXPECT_EQ(levels.get(0), 0);
    EXPECT_TRUE(apply("<Any Delta=\"-3\"><Modules><Module>" + plugin("262144", "7") +
                      "</Module><Module>" + plugin("327680", "8") + "</Module></Modules></Any>"));
    EXPECT_EQ(levels.get(4), 7);
    EXPECT_EQ(levels.get(5), 8);
}

TEST_F(ConfigUpdatesTest, DocumentsThatChangeNothing)
{
    levels.set(5, 40);
    const std::string changes = plugin("327680", "50");
    for (const std::string &text : {
             delta(changes, "Delta=\"0\""), delta(changes, ""), delta(changes, "Delta=\"yes\""),
             std::string(""), std::string("not xml"), std::string("<Qarn Delta=\"1\"><Mod"),
             std::string("\x01\x02\x03\xff", 4),
             "<Qarn Delta=\"1\"><Modules><Module>" + changes + "<Plugin ID=", "<Qarn Delta=\"1\"><Module>" + changes + "</Module></Qarn>",
             delta(plugin("327680", "101")), delta(plugin("327680", "-2")),
             delta(plugin("327680", "high")), delta("<Plugin ID=\"327680\"/>"),
             delta(plugin("262143", "50")), delta(plugin("16777216", "50")),
             delta(plugin("16711680", "50")), delta(plugin("0x50000", "50")),
             nestedDocument(101, delta(changes))}) {
        EXPECT_FALSE(apply(text)) << text;
        EXPECT_EQ(levels.get(5), 40) << text;
    }
    for (uint32_t i = 1; i < LogLevelTable::kSize; ++i) {
        if (i != 5) {
            ASSERT_EQ(levels.get(i), -1) << i;
        }
    }
}

TEST_F(ConfigUpdatesTest, TenThousandEntriesApplyInOrder)
{
    std::string plugins;
    for (int i = 0; i < 10000; ++i)
        plugins += plugin(std::to_string((i % 300) << 16), std::to_string(i % 100));
    EXPECT_TRUE(apply(delta(plugins)));
    // Index 4..254 take their last entry; 0..3 and 255..299 are refused.
    EXPECT_EQ(levels.get(4), 9904 % 100);
    EXPECT_EQ(levels.get(254), 9854 % 100);
    EXPECT_EQ(levels.get(0), 25);
    EXPECT_EQ(levels.get(3), -1);
}

namespace {

class StatusKeeperTest : public ::testing::Test {
protected:
    StatusKeeperTest()
    {
        core.logLevels.set(0, 25);
        core.defaultLogLevels.set(5, 30);
    }

    TempDir dir;
    TestBus core;
    int snapshots = 0;
    std::vector<std::string> published;
    StatusKeeper keeper{{core.logLevels, core.defaultLogLevels,
                         [this] {
                             ++snapshots;
                             StatusSnapshot status;
                             status.plugins = {{0x00050000, "camera.so", 1, 1, 0}};
                             return status;
                         },
                         [this](const XmlDocument &document) {
                             published.push_back(document.printCompact());
                         }},
                        &TestBus::entry, dir.file("core.xml")};
};

}  // namespace

TEST_F(StatusKeeperTest, AChangingUpdateIsSavedAndPublished)
{
    keeper.applyUpdate(delta(plugin("327680", "50")));
    EXPECT_EQ(core.logLevels.get(5), 50);
    EXPECT_NE(dir.read("core.xml").find("<Plugin ID=\"327680\" Filename=\"camera.so\" Opened=\"1\" "
                                        "LoadTimeMs=\"1\" OpenTimeMs=\"1\" OpenCode=\"0\" "
                                        "LogLevel=\"50\" LogLevelDefault=\"30\" />"),
              std::string::npos);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_NE(published[0].find("<Qarn Delta=\"0\">"), std::string::npos);

    // Applying the core's own document, or the same change, saves nothing.
    keeper.applyUpdate(published[0]);
    keeper.applyUpdate(delta(plugin("327680", "50")));
    EXPECT_EQ(published.size(), 1u);
    EXPECT_EQ(snapshots, 1);
}

TEST_F(StatusKeeperTest, NothingIsSavedOnceClosed)
{
    keeper.close();
    keeper.saveStatus();
    keeper.applyUpdate(delta(plugin("327680", "50")));
    EXPECT_EQ(core.logLevels.get(5), 50) << "the threshold still changes";
    EXPECT_EQ(snapshots, 0) << "but the state is not read";
    EXPECT_TRUE(published.empty());
    EXPECT_FALSE(dir.exists("core.xml"));
}
