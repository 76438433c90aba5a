// Plugin discovery: the ordered list of plugin files beside the executable.
#pragma once

#include <boost/filesystem/path.hpp>
#include <vector>

// The directories scanned, relative to the executable's directory, in order.
constexpr const char *kPluginDirectories[] = {"plugins", "protected-plugins"};

// A path is marked, and loads before every unmarked one, when its full text
// contains this (case-sensitive).
constexpr const char *kPluginMark = "Lumbra";

// Regular files (after following links) whose last extension is exactly ".so",
// found one level deep in the plugin directories of `executableDir`: marked
// paths first, then by path comparison. Never fails and logs nothing; a
// missing or unreadable directory, or an entry that cannot be examined, only
// leaves files out.
std::vector<boost::filesystem::path> discoverPlugins(const boost::filesystem::path &executableDir);

// The load order of two plugin paths (true when `a` loads before `b`).
bool pluginLoadsBefore(const boost::filesystem::path &a, const boost::filesystem::path &b);
