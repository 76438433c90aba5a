// Start-up configuration: which core.xml entries set thresholds, the memory
// switch and product identity defaults, and bad files.
#include "config/configuration.h"

#include <gtest/gtest.h>

#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    void load(const std::string &coreXml, const std::string &productXml = "")
    {
        dir.write("core.xml", coreXml);
        dir.write("product.xml", productXml);
        configuration.load("22.03.4.0", dir.file("product.xml"), dir.file("core.xml"));
    }
    void fillLevels(int8_t level)
    {
        for (uint32_t i = 0; i < LogLevelTable::kSize; ++i)
            core.logLevels.set(i, level);
    }

    TempDir dir;
    TestBus core;
    Configuration configuration{core.logLevels, &TestBus::entry};
};

}  // namespace

TEST_F(ConfigurationTest, OnlyValidPluginEntriesSetThresholds)
{
    struct Case {
        const char *attributes;
        uint32_t index;
        int expected;  // 9: the entry was skipped
    } cases[] = {
        {"ID=\"327680\" LogLevel=\"30\"", 5, 30},
        {"ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"60\"", 5, 60},
        {"ID=\"327680\" LogLevel=\"-1\"", 5, -1},
        {"ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"300\"", 5, -1},
        {"ID=\"327680abc\" LogLevel=\"30x\"", 5, 30},  // leading numbers count
        {"ID=\"-2147483648\" LogLevel=\"0\"", 0, 0},    // the core
        {"ID=\"262144\" LogLevel=\"30\"", 4, 30},       // 0x40000
        {"ID=\"327680\" LogLevel=\"101\"", 5, 9},
        {"ID=\"327680\" LogLevel=\"-2\"", 5, 9},
        {"ID=\"327680\" LogLevel=\"loud\"", 5, 9},
        {"LogLevel=\"30\"", 5, 9},
        {"ID=\"0x50000\" LogLevel=\"30\"", 5, 9},  // reads as ID 0
        {"ID=\"262143\" LogLevel=\"30\"", 3, 9},   // 0x3FFFF
        {"ID=\"16777216\" LogLevel=\"30\"", 0, 9},  // bit 24
        {"ID=\"16711680\" LogLevel=\"30\"", 0, 9},  // index 255
    };
    for (const Case &c : cases) {
        fillLevels(9);
        load(std::string("<Qarn><Modules><Module><Plugin ") + c.attributes +
             "/></Module></Modules></Qarn>");
        for (uint32_t i = 0; i < LogLevelTable::kSize; ++i)
            ASSERT_EQ(core.logLevels.get(i), i == c.index ? c.expected : 9) << c.attributes;
    }
    EXPECT_TRUE(core.logLines().empty());
}

TEST_F(ConfigurationTest, DefaultsHoldWithoutTheirElements)
{
    load("<Qarn><Memory Throttling=\"off\"/></Qarn>",
         "<Info><Deeper><Product Family=\"No\" Version=\"0\"/></Deeper></Info>");
    EXPECT_TRUE(configuration.throttlingEnabled());
    EXPECT_EQ(configuration.productFamily(), "Quorvantile");
    EXPECT_EQ(configuration.coreVersion(), "22.03.4.0");
}

TEST_F(ConfigurationTest, BadCoreFilesAreLoggedAndChangeNothing)
{
    const std::string tooDeep =
        "Elements nested too deeply (exceeds the configured maximum parse depth).";
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "Failed to load/parse core.xml 12 - Error document empty.."},
        // Truncated: nothing of it applies, not even its complete entries.
        {"<Qarn><Memory Throttling=\"0\"/><Modules><Module><Plugin ID=\"327680\" LogLevel=\"50\"/>",
         "Failed to load/parse core.xml 5 - Error reading Element value.."},
        {"<Qarn", "Failed to load/parse core.xml 4 - Failed to read Element name."},
        {std::string("\x01\x02<\xff\xfe\x00<Qarn>", 12), ""},
        {"<Root><Qarn/></Root>", "Failed to load core.xml, missing Qarn node."},
        {nestedDocument(101, "<Qarn/>"), "Failed to load/parse core.xml 17 - " + tooDeep + "."},
    };
    const std::string kept = "Kept the unusable " + dir.file("core.xml") + " as " + dir.file("core.xml.bad") + ".";
    for (const Case &c : cases) {
        fillLevels(9);
        load(c.text);
        for (uint32_t i = 0; i < LogLevelTable::kSize; ++i)
            ASSERT_EQ(core.logLevels.get(i), 9) << c.text;
        EXPECT_TRUE(configuration.throttlingEnabled());
        // The file is kept, byte for byte, before the start-up save replaces it.
        const std::vector<LogLine> lines = core.logLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back().text, kept);
        EXPECT_EQ(lines[lines.size() - 2].level, 75u);
        EXPECT_EQ(lines.back().level, 75u);
        if (!c.message.empty()) {
            EXPECT_EQ(lines[lines.size() - 2].text, c.message) << c.text;
        }
        EXPECT_EQ(dir.read("core.xml.bad"), c.text);
        EXPECT_FALSE(boost::filesystem::exists(dir.path / "core.xml"));
    }
    // No file: nothing to keep, and the copy kept earlier stays.
    boost::filesystem::remove(dir.path / "core.xml");
    configuration.load("22.03.4.0", dir.file("product.xml"), dir.file("core.xml"));
    EXPECT_EQ(core.logLines().back().text, "Failed to load/parse core.xml 2 - Failed to open file.");
    EXPECT_EQ(dir.read("core.xml.bad"), cases[std::size(cases) - 1].text);
}
