#include "plugin_dir.h"

#include <boost/filesystem/operations.hpp>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;

PluginDir::PluginDir()
{
    std::string pattern = (fs::temp_directory_path() / "dvrcore-test-XXXXXX").string();
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed");
    rootPath = fs::canonical(pattern);
    fs::create_directories(rootPath / "plugins");
    fs::create_directories(rootPath / "protected-plugins");
    fs::create_directories(configDir());
}

PluginDir::~PluginDir()
{
    boost::system::error_code ignored;
    fs::remove_all(rootPath, ignored);
}

fs::path PluginDir::addPlugin(const std::string &name, const std::string &config,
                              const std::string &source, const std::string &dir)
{
    const fs::path target = rootPath / dir / name;
    fs::create_directories(target.parent_path());
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    writeFile("conf/" + name + ".conf", config);
    return target;
}

void PluginDir::writeFile(const std::string &relative, const std::string &content)
{
    const fs::path target = rootPath / relative;
    fs::create_directories(target.parent_path());
    std::ofstream(target.string(), std::ios::trunc) << content << (content.empty() ? "" : "\n");
}

void PluginDir::exportEnvironment() const
{
    setenv("DVR_TEST_CONFIG_DIR", configDir().c_str(), 1);
    setenv("DVR_TEST_TRACE", tracePath().c_str(), 1);
}

std::vector<std::string> PluginDir::trace() const
{
    std::vector<std::string> lines;
    std::ifstream file(tracePath().string());
    std::string line;
    while (std::getline(file, line))
        lines.push_back(line);
    return lines;
}

std::vector<std::string> PluginDir::traceOf(const std::string &plugin) const
{
    std::vector<std::string> lines;
    for (const std::string &line : trace())
        if (line.compare(0, plugin.size() + 1, plugin + " ") == 0)
            lines.push_back(line.substr(plugin.size() + 1));
    return lines;
}

int PluginDir::find(const std::string &prefix) const
{
    const std::vector<std::string> lines = trace();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].compare(0, prefix.size(), prefix) == 0)
            return static_cast<int>(i);
    return -1;
}

bool PluginDir::waitFor(const std::string &prefix, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (has(prefix))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> grep(const std::vector<std::string> &lines, const std::string &needle)
{
    std::vector<std::string> found;
    for (const std::string &line : lines)
        if (line.find(needle) != std::string::npos)
            found.push_back(line);
    return found;
}
