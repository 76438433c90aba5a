// The samples in docs/configuration.md do what the page says they do.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "config/config_updates.h"
#include "config/configuration.h"
#include "support/test_bus.h"
#include "temp_dir.h"

namespace {

// The first ```xml block after "<!-- sample: NAME -->" on the page.
std::string sample(const std::string &name)
{
    const std::string page = TempDir::readPath(DVR_CONFIGURATION_PAGE);
    const size_t marker = page.find("<!-- sample: " + name + " -->");
    const size_t start = page.find("```xml\n", marker);
    const size_t end = page.find("```", start + 7);
    if (marker == std::string::npos || start == std::string::npos || end == std::string::npos)
        return "";
    return page.substr(start + 7, end - start - 7);
}

}  // namespace

TEST(ConfigurationPage, SamplesSetWhatThePageSays)
{
    TempDir dir;
    ASSERT_FALSE(sample("product.xml").empty());
    ASSERT_FALSE(sample("core.xml").empty());
    dir.write("product.xml", sample("product.xml"));
    dir.write("core.xml", sample("core.xml"));
    TestBus core;
    core.logLevels.set(0, 25);
    Configuration configuration(core.logLevels, &TestBus::entry);
    configuration.load("22.03.4.0", dir.file("product.xml"), dir.file("core.xml"));

    EXPECT_EQ(configuration.productFamily(), "Harbour");
    EXPECT_EQ(configuration.coreVersion(), "4.2.0");
    EXPECT_FALSE(configuration.throttlingEnabled());
    EXPECT_EQ(core.logLevels.get(0), 0);
    EXPECT_EQ(core.logLevels.get(0x50), 50);
    EXPECT_EQ(core.logLevels.get(0x51), 75);
    EXPECT_EQ(core.logLevels.get(0x52), 25);
    EXPECT_TRUE(core.logLines().empty());

    core.logLevels.set(0x50, 0);
    core.defaultLogLevels.set(0x51, 30);
    ASSERT_FALSE(sample("delta").empty());
    EXPECT_TRUE(applyDelta(sample("delta"), core.logLevels, core.defaultLogLevels));
    EXPECT_EQ(core.logLevels.get(0x50), 50);
    EXPECT_EQ(core.logLevels.get(0x51), 30);
}
