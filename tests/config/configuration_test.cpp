// Start-up configuration: product.xml and core.xml, every rule of what is
// taken from them and what is skipped, and bad files.
#include "config/configuration.h"

#include <gtest/gtest.h>

#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

class ConfigurationTest : public ::testing::Test {
protected:
    ConfigurationTest() { core.logLevels.set(LogLevelTable::kCoreIndex, 25); }

    // Loads core.xml with `text` (and product.xml when given).
    void load(const std::string &coreXml, const std::string &productXml = "")
    {
        dir.write("core.xml", coreXml);
        if (!productXml.empty())
            dir.write("product.xml", productXml);
        configuration.load("22.03.4.0", dir.file("product.xml"), dir.file("core.xml"));
    }
    // core.xml with one Plugin element of these attributes.
    void loadPlugin(const std::string &attributes)
    {
        load("<Qarn><Modules><Module><Plugin " + attributes + "/></Module></Modules></Qarn>");
    }
    int level(uint32_t index) { return core.logLevels.get(index); }

    TempDir dir;
    TestBus core;
    Configuration configuration{core.logLevels, &TestBus::entry};
};

}  // namespace

TEST_F(ConfigurationTest, PluginEntriesSetThresholds)
{
    struct Case {
        const char *attributes;
        uint32_t index;
        int expected;  // -2: left as before (9)
    } cases[] = {
        {"ID=\"327680\" LogLevel=\"30\"", 5, 30},
        {"ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"60\"", 5, 60},
        {"ID=\"327680\" LogLevel=\"-1\"", 5, -1},
        {"ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"junk\"", 5, -1},
        {"ID=\"327680\" LogLevel=\"-1\" LogLevelDefault=\"300\"", 5, -1},
        {"ID=\"327680\" LogLevel=\"101\"", 5, -2},
        {"ID=\"327680\" LogLevel=\"-2\"", 5, -2},
        {"ID=\"327680\" LogLevel=\"loud\"", 5, -2},
        {"ID=\"327680\"", 5, -2},
        {"LogLevel=\"30\"", 5, -2},
        {"ID=\"0x50000\" LogLevel=\"30\"", 5, -2},  // reads as ID 0
        {"ID=\"327680abc\" LogLevel=\"30x\"", 5, 30},  // leading numbers count
        {"ID=\"262143\" LogLevel=\"30\"", 3, -2},       // 0x3FFFF
        {"ID=\"262144\" LogLevel=\"30\"", 4, 30},       // 0x40000
        {"ID=\"16777216\" LogLevel=\"30\"", 256, -2},   // bit 24
        {"ID=\"16711680\" LogLevel=\"30\"", 255, -2},   // index 255
        {"ID=\"-2147483648\" LogLevel=\"0\"", 0, 0},    // the core
    };
    for (const Case &c : cases) {
        for (uint32_t i = 0; i < LogLevelTable::kSize; ++i)
            core.logLevels.set(i, 9);
        loadPlugin(c.attributes);
        EXPECT_EQ(level(c.index), c.expected == -2 ? (c.index < 255 ? 9 : -1) : c.expected)
            << c.attributes;
        for (uint32_t i = 0; i < LogLevelTable::kSize; ++i) {
            if (i != c.index) {
                ASSERT_EQ(level(i), 9) << c.attributes << " wrote index " << i;
            }
        }
    }
}

TEST_F(ConfigurationTest, EveryModuleAndPluginIsReadAndLaterEntriesWin)
{
    load("<Qarn><Modules>"
         "<Module><Plugin ID=\"327680\" LogLevel=\"10\"/><Plugin ID=\"393216\" LogLevel=\"20\"/></Module>"
         "<Other><Plugin ID=\"458752\" LogLevel=\"70\"/></Other>"
         "<Module><Plugin ID=\"327680\" LogLevel=\"40\"/></Module>"
         "</Modules><Modules><Module><Plugin ID=\"458752\" LogLevel=\"80\"/></Module></Modules></Qarn>");
    EXPECT_EQ(level(5), 40);
    EXPECT_EQ(level(6), 20);
    EXPECT_EQ(level(7), -1) << "only Module children of the first Modules count";
    EXPECT_TRUE(core.logLines().empty());
}

TEST_F(ConfigurationTest, MemorySwitchAndProductIdentity)
{
    EXPECT_TRUE(configuration.throttlingEnabled());
    load("<Qarn><Memory Throttling=\"0\"/></Qarn>",
         "<Anything><Product Family=\"Harbour\" Version=\"9.1\"/></Anything>");
    EXPECT_FALSE(configuration.throttlingEnabled());
    EXPECT_EQ(configuration.productFamily(), "Harbour");
    EXPECT_EQ(configuration.coreVersion(), "9.1");

    // A new load starts from the defaults: own version, throttling on.
    dir.write("product.xml", "<Anything><Deeper><Product Family=\"No\"/></Deeper></Anything>");
    load("<Qarn><Memory Throttling=\"off\"/></Qarn>");
    EXPECT_TRUE(configuration.throttlingEnabled());
    EXPECT_EQ(configuration.productFamily(), "Quorvantile");
    EXPECT_EQ(configuration.coreVersion(), "22.03.4.0");
    load("<Qarn><Memory Throttling=\"7\"/></Qarn>", "<Product Family=\"root itself\"/>");
    EXPECT_TRUE(configuration.throttlingEnabled());
    EXPECT_EQ(configuration.productFamily(), "Quorvantile");
}

TEST_F(ConfigurationTest, BadCoreFilesAreLoggedAndChangeNothing)
{
    const std::string binary("\x01\x02<\xff\xfe\x00<Qarn>", 12);
    struct Case {
        std::string text;
        std::string message;
    } cases[] = {
        {"", "Failed to load/parse core.xml 12 - Error document empty.."},
        {"<Qarn><Memory Throttling=\"0\"/><Modules><Module><Plugin ID=\"327680\" LogLevel=\"50\"/>",
         "Failed to load/parse core.xml 5 - Error reading Element value.."},
        {"<Qarn", "Failed to load/parse core.xml 4 - Failed to read Element name."},
        {binary, ""},
        {"<Root><Qarn/></Root>", "Failed to load core.xml, missing Qarn node."},
        {nestedDocument(101, "<Qarn/>"),
         "Failed to load/parse core.xml 17 - Elements nested too deeply (exceeds the configured "
         "maximum parse depth).."},
    };
    for (const Case &c : cases) {
        core.logLevels.set(5, 33);
        load(c.text);
        EXPECT_EQ(level(5), 33);
        EXPECT_EQ(level(0), 25);
        EXPECT_TRUE(configuration.throttlingEnabled());
        const auto lines = core.logLines();
        ASSERT_FALSE(lines.empty()) << c.text;
        EXPECT_EQ(lines.back().level, 75u);
        if (!c.message.empty()) {
            EXPECT_EQ(lines.back().text, c.message) << c.text;
        }
    }

    TempDir empty;
    configuration.load("22.03.4.0", empty.file("product.xml"), empty.file("core.xml"));
    EXPECT_EQ(core.logLines().back().text, "Failed to load/parse core.xml 2 - Failed to open file.");
}

TEST_F(ConfigurationTest, HugeFileWithManyEntriesLoads)
{
    std::string text = "<Qarn><Modules><Module>";
    for (int i = 0; i < 200000; ++i)
        text += "<Plugin ID=\"" + std::to_string((4 + i % 250) << 16) + "\" LogLevel=\"" +
                std::to_string(i % 101) + "\"/>";
    load(text + "</Module></Modules></Qarn>");
    EXPECT_EQ(level(4), (199750 % 101));
    EXPECT_EQ(level(0), 25);
}
