#include "plugin_files.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

const char *const kCorePluginDirectories[2] = {"plugins", "protected-plugins"};
const char *const kLoadFirstMark = "Lumbra";

namespace {

// ".so" as the last extension, for a name that does not begin with that dot.
bool hasPluginExtension(const char *name)
{
    const char *dot = std::strrchr(name, '.');
    return dot && dot != name && std::strcmp(dot, ".so") == 0;
}

// A path's elements: "/" for the root, then each name.
std::vector<std::string> elementsOf(const std::string &path)
{
    std::vector<std::string> elements;
    if (!path.empty() && path[0] == '/')
        elements.emplace_back("/");
    std::string::size_type start = 0;
    while (start < path.size()) {
        const std::string::size_type slash = path.find('/', start);
        const std::string::size_type end = slash == std::string::npos ? path.size() : slash;
        if (end > start)
            elements.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return elements;
}

bool pathLess(const std::string &a, const std::string &b)
{
    const std::vector<std::string> ea = elementsOf(a), eb = elementsOf(b);
    for (size_t i = 0; i < ea.size() && i < eb.size(); ++i) {
        const size_t n = std::min(ea[i].size(), eb[i].size());
        const int order = std::memcmp(ea[i].data(), eb[i].data(), n);  // unsigned bytes
        if (order != 0)
            return order < 0;
        if (ea[i].size() != eb[i].size())
            return ea[i].size() < eb[i].size();
    }
    return ea.size() < eb.size();
}

std::string directoryOf(const std::string &path)
{
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string &path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string &directory, const std::string &name)
{
    return directory == "/" ? "/" + name : directory + "/" + name;
}

bool isDirectory(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void scan(const PluginDirectory &directory, std::vector<PluginFile> &found)
{
    std::unique_ptr<DIR, int (*)(DIR *)> stream(opendir(directory.path.c_str()), closedir);
    if (!stream)
        return;
    while (const dirent *entry = readdir(stream.get())) {
        struct stat status;
        const std::string path = join(directory.path, entry->d_name);
        if (hasPluginExtension(entry->d_name) && stat(path.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode))
            found.push_back({path, join(directory.shown, entry->d_name), entry->d_name});
    }
}

}  // namespace

bool loadsBefore(const std::string &a, const std::string &b)
{
    const bool markedA = a.find(kLoadFirstMark) != std::string::npos;
    const bool markedB = b.find(kLoadFirstMark) != std::string::npos;
    if (markedA != markedB)
        return markedA;
    return pathLess(a, b);
}

std::vector<PluginFile> pluginFilesIn(const std::vector<PluginDirectory> &directories)
{
    std::vector<PluginFile> found;
    for (const PluginDirectory &directory : directories)
        scan(directory, found);
    std::stable_sort(found.begin(), found.end(), [](const PluginFile &a, const PluginFile &b) {
        return loadsBefore(a.path, b.path);
    });
    return found;
}

bool canonicalPath(const std::string &path, std::string &canonical)
{
    std::unique_ptr<char, void (*)(void *)> resolved(realpath(path.c_str(), nullptr), std::free);
    if (!resolved)
        return false;
    canonical = resolved.get();
    return true;
}

std::vector<PluginDirectory> directoriesWith(const std::string &file, PluginFile &own)
{
    const std::string shownDirectory = directoryOf(file);
    std::string directory;
    if (!canonicalPath(shownDirectory, directory))
        directory = shownDirectory;
    own = {join(directory, nameOf(file)), file, nameOf(file)};

    const std::string leaf = nameOf(directory);
    if (leaf != kCorePluginDirectories[0] && leaf != kCorePluginDirectories[1])
        return {{directory, directory}};
    std::vector<PluginDirectory> both;
    for (const char *name : kCorePluginDirectories) {
        const std::string sibling = join(directoryOf(directory), name);
        both.push_back({sibling, sibling});
    }
    return both;
}

bool findCoreDirectory(std::string &directory, std::string &why)
{
    std::string self;
    if (!canonicalPath("/proc/self/exe", self)) {
        why = "cannot resolve /proc/self/exe";
        return false;
    }
    const std::string own = directoryOf(self);
    struct stat status;
    if (stat(join(own, "dvrcore").c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        directory = own;
        return true;
    }
    const std::string packaged = join(own, "../lib/dvrcore");
    if (isDirectory(packaged) && canonicalPath(packaged, directory))
        return true;
    why = "no dvrcore in " + own + " and no directory " + packaged;
    return false;
}
