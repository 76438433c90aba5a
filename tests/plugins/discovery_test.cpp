// Plugin discovery: which files are taken and in which order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <string>
#include <vector>

#include "plugins/discovery.h"

namespace fs = boost::filesystem;

namespace {

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "dvr-discovery-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void touch(const std::string &relative)
    {
        fs::create_directories((root / relative).parent_path());
        std::ofstream((root / relative).string()) << "x";
    }

    // The discovered paths relative to root.
    std::vector<std::string> found()
    {
        std::vector<std::string> names;
        for (const fs::path &path : discoverPlugins(root))
            names.push_back(path.lexically_relative(root).string());
        return names;
    }

    fs::path root;
};

using Names = std::vector<std::string>;

TEST_F(Discovery, OrdersMarkedFilesFirstThenPluginsThenProtectedPluginsByBytes)
{
    touch("plugins/b.so");
    touch("plugins/A.so");
    touch("plugins/notes.txt");
    touch("plugins/c.so.1");
    touch("protected-plugins/a.so");
    touch("protected-plugins/zLumbra.so");
    EXPECT_EQ(found(), (Names{"protected-plugins/zLumbra.so", "plugins/A.so", "plugins/b.so",
                              "protected-plugins/a.so"}));
}

TEST_F(Discovery, ReturnsFullPathsJoinedFromTheExecutableDirectory)
{
    touch("plugins/x.so");
    const std::vector<fs::path> paths = discoverPlugins(root);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], root / "plugins" / "x.so");
}

TEST_F(Discovery, TakesOnlyTheExactLastExtensionSo)
{
    touch("plugins/a.b.so");
    touch("plugins/x.SO");
    touch("plugins/.so");
    touch("plugins/libx.so.1");
    touch("plugins/so");
    touch("plugins/y.so.");
    EXPECT_EQ(found(), (Names{"plugins/a.b.so"}));
}

TEST_F(Discovery, NeverTakesDirectoriesOrFilesInsideSubdirectories)
{
    fs::create_directories(root / "plugins" / "x.so");
    touch("plugins/sub/inner.so");
    touch("plugins/top.so");
    EXPECT_EQ(found(), (Names{"plugins/top.so"}));
}

TEST_F(Discovery, FollowsLinksToRegularFilesUnderTheLinksOwnPath)
{
    touch("elsewhere/real.bin");
    fs::create_directories(root / "plugins");
    fs::create_symlink(root / "elsewhere" / "real.bin", root / "plugins" / "y.so");
    fs::create_symlink(root / "elsewhere" / "missing.so", root / "plugins" / "dangling.so");
    fs::create_symlink(root / "elsewhere", root / "plugins" / "dir.so");
    fs::create_symlink(root / "plugins" / "loop.so", root / "plugins" / "loop.so");
    EXPECT_EQ(found(), (Names{"plugins/y.so"}));
}

TEST_F(Discovery, MissingPluginsDirectoryLeavesProtectedPlugins)
{
    fs::remove(root / "plugins");
    touch("protected-plugins/p.so");
    EXPECT_EQ(found(), (Names{"protected-plugins/p.so"}));
}

TEST_F(Discovery, NoDirectoriesYieldAnEmptyList)
{
    EXPECT_TRUE(found().empty());
    EXPECT_TRUE(discoverPlugins(root / "does-not-exist").empty());
}

TEST_F(Discovery, PluginDirectoryThatIsAFileContributesNothing)
{
    touch("plugins");
    touch("protected-plugins/p.so");
    EXPECT_EQ(found(), (Names{"protected-plugins/p.so"}));
}

TEST_F(Discovery, PluginDirectoryMayItselfBeALink)
{
    touch("real-dir/r.so");
    fs::create_symlink(root / "real-dir", root / "plugins");
    EXPECT_EQ(found(), (Names{"plugins/r.so"}));
}

TEST_F(Discovery, UnreadableDirectoryContributesNothing)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads every directory";
    touch("plugins/hidden.so");
    touch("protected-plugins/p.so");
    fs::permissions(root / "plugins", fs::perms::no_perms);
    EXPECT_EQ(found(), (Names{"protected-plugins/p.so"}));
    fs::permissions(root / "plugins", fs::perms::owner_all);
}

TEST_F(Discovery, TwoMarkedFilesAreOrderedBetweenThemselvesByPath)
{
    touch("protected-plugins/aLumbra.so");
    touch("plugins/zLumbra.so");
    touch("plugins/m.so");
    EXPECT_EQ(found(),
              (Names{"plugins/zLumbra.so", "protected-plugins/aLumbra.so", "plugins/m.so"}));
}

TEST_F(Discovery, MarkIsCaseSensitiveAndMayBeInTheDirectoryPart)
{
    EXPECT_TRUE(pluginLoadsBefore("/opt/Lumbra/plugins/z.so", "/opt/x/plugins/a.so"));
    EXPECT_FALSE(pluginLoadsBefore("/opt/x/plugins/lumbra.so", "/opt/x/plugins/a.so"));
}

TEST_F(Discovery, ComparesNamesAsUnsignedBytes)
{
    touch("plugins/a.so");
    touch("plugins/B.so");
    touch("plugins/\xc3\xa9.so");
    touch("plugins/_.so");
    EXPECT_EQ(found(), (Names{"plugins/B.so", "plugins/_.so", "plugins/a.so", "plugins/\xc3\xa9.so"}));
}

TEST_F(Discovery, ShorterPathComesFirstWhenItIsAPrefix)
{
    EXPECT_TRUE(pluginLoadsBefore("/a/plugins", "/a/plugins/x.so"));
    EXPECT_TRUE(pluginLoadsBefore("/a/plugins/x.so", "/a/protected-plugins/a.so"));
    EXPECT_FALSE(pluginLoadsBefore("/a/plugins/x.so", "/a/plugins/x.so"));
}

}  // namespace
