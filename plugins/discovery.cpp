#include "plugins/discovery.h"

#include <algorithm>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/system/error_code.hpp>
#include <cstring>
#include <string>

namespace fs = boost::filesystem;

namespace {

// ".so" as the last extension: from the last dot on, for a name that does not
// begin with that dot. So "a.b.so" is taken; "x.so.1", "x.SO" and ".so" not.
bool hasPluginExtension(const std::string &name)
{
    const std::string::size_type dot = name.rfind('.');
    return dot != std::string::npos && dot != 0 && name.compare(dot, std::string::npos, ".so") == 0;
}

bool isMarked(const fs::path &path)
{
    return path.native().find(kPluginMark) != std::string::npos;
}

// Element by element from the root, each compared as unsigned bytes; a path
// that runs out of elements first comes first.
bool pathLess(const fs::path &a, const fs::path &b)
{
    auto ia = a.begin(), ib = b.begin();
    for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
        const std::string &ea = ia->native(), &eb = ib->native();
        const size_t n = std::min(ea.size(), eb.size());
        const int order = std::memcmp(ea.data(), eb.data(), n);  // memcmp compares unsigned bytes
        if (order != 0)
            return order < 0;
        if (ea.size() != eb.size())
            return ea.size() < eb.size();
    }
    return ia == a.end() && ib != b.end();
}

void scanDirectory(const fs::path &directory, std::vector<fs::path> &found)
{
    boost::system::error_code error;
    if (!fs::is_directory(directory, error) || error)
        return;
    fs::directory_iterator it(directory, error);
    const fs::directory_iterator end;
    while (!error && it != end) {
        const fs::path entry = it->path();
        boost::system::error_code statError;
        const fs::file_status status = fs::status(entry, statError);  // follows links
        if (!statError && fs::is_regular_file(status) &&
            hasPluginExtension(entry.filename().native()))
            found.push_back(directory / entry.filename());
        it.increment(error);
    }
}

}  // namespace

bool pluginLoadsBefore(const fs::path &a, const fs::path &b)
{
    const bool markedA = isMarked(a), markedB = isMarked(b);
    if (markedA != markedB)
        return markedA;
    return pathLess(a, b);
}

std::vector<fs::path> discoverPlugins(const fs::path &executableDir)
{
    std::vector<fs::path> found;
    for (const char *name : kPluginDirectories)
        scanDirectory(executableDir / name, found);
    std::sort(found.begin(), found.end(), pluginLoadsBefore);
    return found;
}
