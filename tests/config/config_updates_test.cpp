// Configuration documents from plugins: which change thresholds, and what
// happens to an update once the core is shutting down.
#include "config/config_updates.h"

#include <gtest/gtest.h>

#include "config/status_keeper.h"
#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

std::string delta(const std::string &plugins, const std::string &rootAttributes = "Delta=\"1\"")
{
    return "<Qarn " + rootAttributes + "><Modules><Module>" + plugins + "</Module></Modules></Qarn>";
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
    EXPECT_TRUE(apply("<Any Delta=\"-3\"><Modules><Module>" + plugin("-2147483648", "0") +
                      "</Module></Modules></Any>"));
    EXPECT_EQ(levels.get(0), 0) << "any root name, any non-zero Delta; the core's own entry";

    // 10,000 entries apply in order: the last one for each index wins.
    std::string many;
    for (int i = 0; i < 10000; ++i)
        many += plugin(std::to_string((i % 300) << 16), std::to_string(i % 100));
    EXPECT_TRUE(apply(delta(many)));
    EXPECT_EQ(levels.get(4), 9904 % 100);
    EXPECT_EQ(levels.get(254), 9854 % 100);
    EXPECT_EQ(levels.get(3), -1);
}

TEST_F(ConfigUpdatesTest, DocumentsThatChangeNothing)
{
    levels.set(5, 40);
    const std::string change = plugin("327680", "50");
    for (const std::string &text :
         {delta(change, "Delta=\"0\""), delta(change, ""), delta(change, "Delta=\"yes\""),
          std::string(""), std::string("not xml"), std::string("\x01\x02\x03\xff", 4),
          "<Qarn Delta=\"1\"><Modules><Module>" + change + "<Plugin ID=",
          "<Qarn Delta=\"1\"><Module>" + change + "</Module></Qarn>",
          delta(plugin("327680", "101")), delta(plugin("327680", "high")),
          delta("<Plugin ID=\"327680\"/>"), delta(plugin("262143", "50")),
          delta(plugin("16777216", "50")), delta(plugin("16711680", "50")),
          nestedDocument(101, delta(change))}) {
        EXPECT_FALSE(apply(text)) << text;
        EXPECT_EQ(levels.get(5), 40) << text;
    }
    for (uint32_t i = 1; i < LogLevelTable::kSize; ++i) {
        if (i != 5) {
            ASSERT_EQ(levels.get(i), -1) << i;
        }
    }
}

TEST(StatusKeeper, NothingIsSavedOnceClosed)
{
    TempDir dir;
    TestBus core;
    int snapshots = 0, published = 0;
    StatusKeeper keeper({core.logLevels, core.defaultLogLevels,
                         [&] {
                             ++snapshots;
                             return StatusSnapshot{};
                         },
                         [&](const XmlDocument &) { ++published; }},
                        &TestBus::entry, dir.file("core.xml"));
    keeper.close();
    keeper.saveStatus();
    keeper.applyUpdate(delta(plugin("327680", "50")));
    EXPECT_EQ(core.logLevels.get(5), 50) << "the threshold still changes";
    EXPECT_EQ(snapshots + published, 0) << "but the core's state is not read";
    EXPECT_FALSE(dir.exists("core.xml"));
}
