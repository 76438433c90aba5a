// A throw-away directory laid out as the core expects beside its executable
// (plugins/, protected-plugins/), with the configuration files and the trace
// of the configurable test plugin (fixtures/test_plugin.cpp).
#pragma once

#include <boost/filesystem/path.hpp>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

class PluginDir {
public:
    PluginDir();
    ~PluginDir();
    PluginDir(const PluginDir &) = delete;
    PluginDir &operator=(const PluginDir &) = delete;

    const boost::filesystem::path &root() const { return rootPath; }
    boost::filesystem::path configDir() const { return rootPath / "conf"; }
    boost::filesystem::path tracePath() const { return rootPath / "trace.txt"; }

    // Copies `source` to <dir>/<name> and writes its configuration: key=value
    // lines (see tests/plugins/README.md). Returns the copy's path.
    boost::filesystem::path addPlugin(const std::string &name, const std::string &config,
                                      const std::string &source, const std::string &dir = "plugins");
    // Writes a file (directories created as needed).
    void writeFile(const std::string &relative, const std::string &content);
    // Sets DVR_TEST_CONFIG_DIR and DVR_TEST_TRACE for plugins loaded in this process.
    void exportEnvironment() const;

    // Every trace line so far; lines of one plugin (without the name).
    std::vector<std::string> trace() const;
    std::vector<std::string> traceOf(const std::string &plugin) const;
    // Index of the first trace line that starts with `prefix`, or -1.
    int find(const std::string &prefix) const;
    bool has(const std::string &prefix) const { return find(prefix) >= 0; }
    // Polls the trace (bounded) until some line starts with `prefix`.
    bool waitFor(const std::string &prefix,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    boost::filesystem::path rootPath;
};

// The lines of `lines` that contain `needle`.
std::vector<std::string> grep(const std::vector<std::string> &lines, const std::string &needle);
