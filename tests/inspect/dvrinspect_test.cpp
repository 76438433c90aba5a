// dvrinspect run as a user runs it: on broken plugins, on the examples, and on
// a directory whose verdicts are checked against what the core's plugin host
// logs for the same files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "plugins/discovery.h"
#include "support/plugin_dir.h"
#include "support/test_host.h"

#ifndef DVR_INSPECT_EMULATOR
#define DVR_INSPECT_EMULATOR ""  // a cross build names its emulator, with a blank after it
#endif

namespace {

struct Outcome {
    int status;
    std::string out;
};

// Runs dvrinspect; its standard error is kept only when asked for.
Outcome inspect(const std::string &arguments, bool withErrors = false)
{
    const std::string command =
        std::string(DVR_INSPECT_EMULATOR DVR_INSPECT) + " " + arguments + (withErrors ? " 2>&1" : " 2>/dev/null");
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return {-1, ""};
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string fixture(const std::string &dir, const std::string &name)
{
    return std::string(DVR_INSPECT_FIXTURES) + "/" + dir + "/" + name + ".so";
}

struct Case {
    const char *arguments;  // fixture dir/name, or literal arguments after '!'
    int status;
    std::vector<const char *> expected;  // lines (or line beginnings) of the output
};

std::string argumentsOf(const Case &c)
{
    const std::string spec = c.arguments;
    if (spec[0] == '!')
        return spec.substr(1);
    const std::string::size_type slash = spec.find('/');
    if (slash == std::string::npos)
        return fixture(spec, spec);
    return fixture(spec.substr(0, slash), spec.substr(slash + 1));
}

bool hasLineStarting(const std::string &out, const std::string &start)
{
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, start.size(), start) == 0)
            return true;
    return false;
}

TEST(Dvrinspect, ReportsEachMistakeWithTheCoresVerdictAndItsFix)
{
    const std::string dup = std::string(DVR_INSPECT_FIXTURES) + "/duplicate/";
    const std::string heldBy = "warning: ID 0x00610000 is already held by " + dup + "a_first.so";
    const std::string alsoOf = "warning: ID 0x00610000 is also the ID of " + dup + "b_second.so";
    const Case cases[] = {
        {"good", 0,
         {"  verdict            loaded", "  posted             log level 25 from 0x00600000: hello from Load",
          "  Unload returned    0, error 0"}},
        {"id_zero", 0,
         {"warning: ID 0 addresses the core: the core accepts the plugin, but takes every event",
          "  posted             event type 0x40 flags 0x00000001 with provider ID 0: taken by the core as a read request"}},
        {"id_too_large", 1,
         {"  verdict            refused: plugin id_too_large.so ID 0x01600000 exceeds the log level "
          "array size, set LogLevelArraySize to 0xfff",
          "warning: ID 0x01600000 has bits 24-27 set"}},
        {"target_as_id", 1,
         {"warning: ID 0x06000000 looks like a parent-packet target (the ID shifted left by four): "
          "return 0x00600000"}},
        {"not_writable", 0,
         {"warning: subscribes to log (0x40) but leaves writable 0: Write is never called with events; "
          "set writable = 1 (as it is readable, its subscriptions now only select the read requests"}},
        {"threads_missing", 0,
         {"warning: asks for a worker thread but exports no IOCTL", "warning: is readable but exports no Read",
          "warning: is writable but exports no Write", "  threads            none"}},
        {"load_lower", 1,
         {"  verdict            refused: Core: Failed to load plugin: load_lower.so (missing symbol)",
          "warning: exports its Load entry point in lower case, where the core looks for \"Load\""}},
        {"cxx_load", 1,
         {"warning: exports Load only under its C++ name _Z4LoadPK12_LoadParmsInP13_LoadParmsOut"}},
        {"hidden", 1, {"warning: exports none of the eight entry points", "  entry points       none (missing: Load"}},
        {"load_error", 1, {"  verdict            refused: plugin load_error.so load returned 0 error 5"}},
        {"crash", 1, {"  verdict            not inspected: crashed in Load: signal 11"}},
        {"exits", 1, {"  verdict            not inspected: ended the process in Load (exit status 3)"}},
        {"!--timeout 1 " DVR_INSPECT_FIXTURES "/hang/hang.so", 1,
         {"  verdict            not inspected: hung in Load: no answer within 1 s"}},
        {"duplicate/b_second", 1,
         {"  verdict            refused: plugin b_second.so ID 0x00610000 already loaded", heldBy.c_str()}},
        {"duplicate/a_first", 0, {"  verdict            loaded", alsoOf.c_str()}},
        {"!--timeout 0", 2, {"dvrinspect: --timeout needs a number of seconds above 0"}},
        {"!--dir /nonexistent/dir", 2, {}},
    };
    for (const Case &c : cases) {
        const std::string arguments = argumentsOf(c);
        SCOPED_TRACE(arguments);
        const Outcome run = inspect(arguments, c.status == 2);
        EXPECT_EQ(run.status, c.status) << run.out;
        for (const char *expected : c.expected)
            EXPECT_TRUE(hasLineStarting(run.out, expected)) << "missing: " << expected << "\n" << run.out;
        // A plugin that loads despite its mistake warns about that one alone.
        if (c.status == 0) {
            const auto warning = [](const char *line) { return std::string(line).rfind("warning:", 0) == 0; };
            size_t seen = 0;
            for (size_t at = run.out.find("\nwarning:"); at != std::string::npos;
                 at = run.out.find("\nwarning:", at + 1))
                ++seen;
            EXPECT_EQ(seen, static_cast<size_t>(std::count_if(c.expected.begin(), c.expected.end(), warning)))
                << run.out;
        }
    }
}

TEST(Dvrinspect, ExamplePluginsLoadWithoutWarnings)
{
#ifndef DVR_EXAMPLE_PLUGINS
    GTEST_SKIP() << "the example plugins are not built";
#else
    const Outcome run = inspect(DVR_EXAMPLE_PLUGINS);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("warning:"), std::string::npos) << run.out;
    for (const char *id : {"0x00500000", "0x00510000", "0x00520000"})
        EXPECT_TRUE(hasLineStarting(run.out, std::string("  ID                 ") + id)) << run.out;
#endif
}

using Verdicts = std::vector<std::pair<std::string, std::string>>;

// dvrinspect's lines for a directory listing: file name and verdict.
Verdicts listedVerdicts(const std::string &out)
{
    Verdicts verdicts;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string path, id;
        fields >> path >> id;
        if (path.size() < 3 || path.compare(path.size() - 3, 3, ".so") != 0)
            continue;
        std::string verdict;
        std::getline(fields >> std::ws, verdict);
        verdicts.emplace_back(path.substr(path.rfind('/') + 1), verdict);
    }
    return verdicts;
}

TEST(Dvrinspect, DirectoryListingMatchesWhatTheCoreLogs)
{
    PluginDir dir;
    dir.exportEnvironment();
    // zLumbra.so is marked and loads first, taking the ID of A.so and b.so.
    dir.addPlugin("b.so", "id=0x00620000", DVR_TEST_PLUGIN);
    dir.addPlugin("A.so", "id=0x00620000", DVR_TEST_PLUGIN);
    dir.addPlugin("c.so", "id=0x01000000", DVR_TEST_PLUGIN);
    dir.addPlugin("d.so", "id=0x00630000\nload_error=7", DVR_TEST_PLUGIN);
    dir.addPlugin("e.so", "", DVR_NO_LOAD_PLUGIN);
    dir.addPlugin("f.so", "", DVR_NOT_A_PLUGIN);
    dir.addPlugin("a.so", "id=0x00640000", DVR_TEST_PLUGIN, "protected-plugins");
    dir.addPlugin("imposter.so", "id=0x80000000", DVR_TEST_PLUGIN, "protected-plugins");
    dir.addPlugin("zLumbra.so", "id=0x00620000", DVR_TEST_PLUGIN, "protected-plugins");
    dir.writeFile("plugins/g.so.1", "ignored");

    const std::string root = dir.root().string();
    const Outcome run = inspect("--dir " + root + "/plugins --dir " + root + "/protected-plugins");
    EXPECT_EQ(run.status, 1) << run.out;

    TestHost core;
    core.sourceNames.set(DVR_PROVIDER_CORE, "core");
    core.host.loadPlugins(dir.root());
    Verdicts logged;
    for (const boost::filesystem::path &file : discoverPlugins(dir.root())) {
        const std::string name = file.filename().string();
        std::string verdict = "loads";
        const auto &list = core.host.list();
        if (std::none_of(list.begin(), list.end(), [&](const PLUGININFO &p) { return p.fileName == name; }))
            for (const LogLine &line : core.logLines())
                if (line.text.find(name) != std::string::npos && line.text.rfind("Core: Loaded", 0) != 0)
                    verdict = line.text;
        logged.emplace_back(name, verdict);
    }
    core.host.closePlugins();
    EXPECT_EQ(listedVerdicts(run.out), logged) << run.out;
    EXPECT_EQ(logged.size(), 9u);
}

}  // namespace
