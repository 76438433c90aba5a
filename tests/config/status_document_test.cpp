// The status document: the exact file, what reloading it restores, and the
// copy the plugins get.
#include "config/status_document.h"

#include <gtest/gtest.h>

#include "config/configuration.h"
#include "config/status_keeper.h"
#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

StatusSnapshot knownState()
{
    StatusSnapshot status;
    status.throttlingEnabled = false;
    status.coreVersion = "22.03.4.0";
    status.productFamily = "Harbour";
    status.executableName = "dvrcore";
    status.parentFilename = "tornel-main";
    status.parentVersion = "7.2.1";
    status.plugins = {{0x00050000, "camera.so", 12, 3, 0},
                      {0x00070000, "recorder.so", 0x100000005LL, 0xFFFFFFFFLL, -100},
                      {0x00FF0000, "wide.so", 1, 1, 0}};
    status.failed = {{"b.so", "invalid ELF header <bad> & \"more\""},
                     {"a.so", "undefined symbol: Load"}};
    return status;
}

class StatusDocumentTest : public ::testing::Test {
protected:
    StatusDocumentTest()
    {
        core.logLevels.set(0, 25);
        core.defaultLogLevels.set(0, 25);
        core.logLevels.set(5, 30);
        core.defaultLogLevels.set(5, 40);
        core.defaultLogLevels.set(7, 20);
    }
    StatusKeeper keeper(StatusSnapshot status)
    {
        return StatusKeeper({core.logLevels, core.defaultLogLevels, [status] { return status; },
                             [this](const XmlDocument &document) {
                                 published.push_back(document.printCompact());
                             }},
                            &TestBus::entry, dir.file("core.xml"));
    }

    TempDir dir;
    TestBus core;
    std::vector<std::string> published;
};

}  // namespace

TEST_F(StatusDocumentTest, FileMatchesTheGoldenCopyByteForByte)
{
    keeper(knownState()).saveStatus();
    EXPECT_EQ(dir.read("core.xml"), TempDir::readPath(DVR_GOLDEN_CORE_XML));
    // The same state saved again gives the same file.
    const std::string first = dir.read("core.xml");
    keeper(knownState()).saveStatus();
    EXPECT_EQ(dir.read("core.xml"), first);
}

TEST_F(StatusDocumentTest, ReloadingRestoresTheThresholdsInForce)
{
    core.logLevels.set(0, 0);
    keeper(knownState()).saveStatus();

    TestBus fresh;
    Configuration configuration(fresh.logLevels, &TestBus::entry);
    configuration.load("x", dir.file("product.xml"), dir.file("core.xml"));
    EXPECT_EQ(fresh.logLevels.get(0), 0) << "the core's own, through ID -2147483648";
    EXPECT_EQ(fresh.logLevels.get(5), 30);
    EXPECT_EQ(fresh.logLevels.get(7), 20) << "unset falls back to the default written";
    EXPECT_FALSE(configuration.throttlingEnabled());
    for (uint32_t i = 1; i < LogLevelTable::kSize; ++i) {
        if (i != 5 && i != 7) {
            EXPECT_EQ(fresh.logLevels.get(i), -1) << i;
        }
    }
}

TEST_F(StatusDocumentTest, PluginsGetACompactCopyWithTheProduct)
{
    StatusSnapshot status;
    status.coreVersion = "2.0";
    status.productFamily = "Harbour";
    status.executableName = "dvrcore";
    keeper(status).saveStatus();
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0],
              "<?xml ?><Qarn Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
              "<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\"><Module ID=\"-2147483648\" "
              "Name=\"Core\" Version=\"2.0\"><Plugin ID=\"-2147483648\" Filename=\"dvrcore\" "
              "Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"25\" "
              "LogLevelDefault=\"25\" /></Module></Modules>"
              "<Product Family=\"Harbour\" Version=\"2.0\" /></Qarn>");
    EXPECT_EQ(dir.read("core.xml").find("Product"), std::string::npos);
}

TEST_F(StatusDocumentTest, FailedSaveIsLoggedAndTheCopyStillGoesOut)
{
    boost::filesystem::create_directory(dir.path / "core.xml");
    keeper(knownState()).saveStatus();
    EXPECT_TRUE(core.logged(
        "Failed to save config 2 - Failed to rename .xml.pending to .xml file 21 - Is a directory"));
    EXPECT_EQ(core.logLines().back().level, 75u);
    EXPECT_EQ(published.size(), 1u);
}

// Strings from the parent and from plugin file names go into the document as
// well-formed XML: what XML cannot carry is replaced by U+FFFD, and the
// saved file and the plugins' copy read back exactly what was written.
TEST_F(StatusDocumentTest, StringsXmlCannotCarryAreRepairedAndReadBack)
{
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"7.2.1 caf\xC3\xA9 \xF0\x9F\x8E\xA5 <&>\"'", "7.2.1 caf\xC3\xA9 \xF0\x9F\x8E\xA5 <&>\"'"},
        {"tab\tline\ncr\r", "tab\tline\ncr\r"},
        {"\xE2", fffd},                                   // cut short at the end
        {"a\xE2\x82" "b", "a" + fffd + fffd + "b"},       // cut short inside
        {"\xC0\xAF\xED\xA0\x80", fffd + fffd + fffd + fffd + fffd},  // overlong, surrogate
        {"\x01x\x1F\x7F", fffd + "x" + fffd + "\x7F"},    // controls XML forbids; DEL is allowed
        {"\xEF\xBF\xBE\xEF\xBF\xBF", fffd + fffd},        // U+FFFE, U+FFFF
    };
    for (const auto &[written, expected] : cases) {
        SCOPED_TRACE(expected);
        StatusSnapshot status = knownState();
        status.parentVersion = written;
        status.plugins[0].fileName = written;
        published.clear();
        keeper(status).saveStatus();
        XmlDocument saved, copy;
        ASSERT_TRUE(saved.load(dir.file("core.xml"))) << saved.errorText();
        ASSERT_EQ(published.size(), 1u);
        ASSERT_TRUE(copy.parse(published[0])) << copy.errorText();
        const TiXmlElement *module = saved.root()->FirstChildElement("Modules")->FirstChildElement("Module");
        EXPECT_EQ(module->FirstChildElement("Library")->Attribute("Version"), expected);
        EXPECT_EQ(module->FirstChildElement("Plugin")->NextSiblingElement("Plugin")->Attribute("Filename"),
                  expected);
        EXPECT_EQ(copy.root()->FirstChildElement("Modules")->FirstChildElement("Module")
                      ->FirstChildElement("Library")->Attribute("Version"),
                  expected);
    }
}
