// Where the core finds its plugins and in which order it loads them.
#pragma once

#include <string>
#include <vector>

// A directory to scan: its canonical path (what the core's paths are built
// from) and the path to show for its files.
struct PluginDirectory {
    std::string path;
    std::string shown;
};

struct PluginFile {
    std::string path;   // as the core opens it: the directory's canonical path, '/', the name
    std::string shown;  // the directory as shown, '/', the name
    std::string name;   // the file name
};

// The directories the core scans beside its executable, in scan order.
extern const char *const kCorePluginDirectories[2];
// A path containing this loads before every path that does not.
extern const char *const kLoadFirstMark;

// True when the core loads `a` before `b`: marked paths first, then element
// by element from the root, each compared as unsigned bytes, the shorter
// path first when one runs out.
bool loadsBefore(const std::string &a, const std::string &b);

// The regular files (after following links) whose last extension is exactly
// ".so", one level deep in each directory, together in load order. A missing
// or unreadable directory contributes nothing.
std::vector<PluginFile> pluginFilesIn(const std::vector<PluginDirectory> &directories);

// The directories whose plugins the core loads together with `file`: both
// plugin directories when the file sits in one of them, else the file's
// own directory. `own` is set to the file as the core would open it.
std::vector<PluginDirectory> directoriesWith(const std::string &file, PluginFile &own);

// The installed core's directory: the directory of this program's canonical
// executable when a "dvrcore" sits there, else ../lib/dvrcore from it.
// Returns false with `why` set when neither is there.
bool findCoreDirectory(std::string &directory, std::string &why);

// The canonical form of an existing path; false when it cannot be resolved.
bool canonicalPath(const std::string &path, std::string &canonical);
