// dvrinspect: loads plugins the way the core does, each in a child process,
// and tells their authors and the people who run the device what the core
// would make of them.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "plugin_files.h"
#include "probe.h"
#include "report.h"
#include "verdict.h"

namespace {

const char kUsage[] =
    "Usage: dvrinspect [--timeout SECONDS] FILE.so...\n"
    "       dvrinspect [--timeout SECONDS] [--dir DIR]...\n"
    "Loads each plugin the way dvrcore does, in a child process of its own,\n"
    "calling only Load and Unload, and tells what the core would make of it.\n"
    "\n"
    "With files: for each, its entry points, ID, log source, parent target,\n"
    "subscriptions, threads and default log level, what Load returned, the\n"
    "core's verdict in the core's own words, and warnings with their fixes.\n"
    "The other plugins of the core's directories the file sits in are loaded\n"
    "too, quietly, to find IDs that two plugins claim.\n"
    "Without files: one line per plugin of the installed core's plugins/ and\n"
    "protected-plugins/ directories (or of each DIR), in the core's load order.\n"
    "\n"
    "  --dir DIR          inspect the plugins in DIR (repeatable)\n"
    "  --timeout SECONDS  time one plugin may take (default 10)\n"
    "  -h, --help         print this help\n"
    "\n"
    "Exit status: 0 when every plugin would load, 1 when any would be refused\n"
    "or could not be inspected, 2 for a usage error.\n";

struct Options {
    std::vector<std::string> files;
    std::vector<std::string> directories;
    std::chrono::milliseconds timeout{10000};
};

int usageError(const std::string &problem)
{
    std::fprintf(stderr, "dvrinspect: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

bool parseSeconds(const std::string &text, std::chrono::milliseconds &timeout)
{
    char *end = nullptr;
    errno = 0;
    const double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > 86400)
        return false;
    timeout = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
    return true;
}

// Returns -1 to go on, or the exit status.
int parseArguments(int argc, char **argv, Options &options)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i], value;
        const bool hasValue = !optionsEnded && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos;
        if (hasValue) {
            value = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
        }
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            options.files.push_back(argv[i]);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--dir" || arg == "--timeout") {
            if (!hasValue && i + 1 >= argc)
                return usageError(arg + " needs a value");
            if (!hasValue)
                value = argv[++i];
            if (arg == "--dir")
                options.directories.push_back(value);
            else if (!parseSeconds(value, options.timeout))
                return usageError("--timeout needs a number of seconds above 0, not \"" + value + "\"");
        } else {
            return usageError("unknown option " + arg);
        }
    }
    if (!options.files.empty() && !options.directories.empty())
        return usageError("name plugin files or directories, not both");
    return -1;
}

// Probes run quietly for the plugins beside a named file, by path.
class QuietProbes {
public:
    explicit QuietProbes(std::chrono::milliseconds timeout) : timeout(timeout) {}
    const ProbeResult &of(const std::string &path)
    {
        auto it = done.find(path);
        if (it == done.end())
            it = done.emplace(path, probePlugin(path, {timeout, false})).first;
        return it->second;
    }

private:
    std::chrono::milliseconds timeout;
    std::map<std::string, ProbeResult> done;
};

// The full report on one named file; returns true when the core would load it.
bool inspectFile(const std::string &file, const Options &options, QuietProbes &quiet)
{
    struct stat status;
    const bool found = stat(file.c_str(), &status) == 0;
    if (!found || !S_ISREG(status.st_mode)) {
        std::printf("%s\n  %-18s not inspected: %s\n", file.c_str(), "verdict",
                    found ? "not a regular file" : std::strerror(errno));
        return false;
    }
    PluginFile own;
    std::vector<PluginFile> order = pluginFilesIn(directoriesWith(file, own));
    const ProbeResult probe = probePlugin(own.path, {options.timeout, true});
    if (!probe.loadAccepted())
        order.clear();  // nothing to compare with: its ID plays no part
    if (std::none_of(order.begin(), order.end(), [&](const PluginFile &f) { return f.path == own.path; })) {
        order.push_back(own);
        std::stable_sort(order.begin(), order.end(),
                         [](const PluginFile &a, const PluginFile &b) { return loadsBefore(a.path, b.path); });
    }

    HeldIds held;
    Verdict verdict;
    std::vector<SharedId> shared;
    bool ownJudged = false;
    const uint32_t id = probe.loadOut.pluginId;
    for (const PluginFile &other : order) {
        if (other.path == own.path) {
            if (probe.loadAccepted() && held.holder(id))
                shared.push_back({*held.holder(id), true});
            verdict = judge(own.name, own.shown, probe, options.timeout, held);
            ownJudged = true;
            continue;
        }
        const ProbeResult &sibling = quiet.of(other.path);
        if (ownJudged && verdict.kind != Verdict::Kind::Refused && sibling.loadAccepted() &&
            sibling.loadOut.pluginId == id)
            shared.push_back({other.path, false});
        judge(other.name, other.path, sibling, options.timeout, held);
    }
    printReport(stdout, own.shown, own.name, probe, verdict, warningsFor(probe, shared));
    return verdict.kind == Verdict::Kind::Loads;
}

// One line per plugin of the directories, in load order; true when all load.
bool inspectDirectories(const std::vector<PluginDirectory> &directories, const Options &options)
{
    const std::vector<PluginFile> files = pluginFilesIn(directories);
    if (files.empty()) {
        std::printf("no plugins found\n");
        return true;
    }
    size_t width = 0;
    for (const PluginFile &file : files)
        width = std::max(width, file.shown.size());
    HeldIds held;
    int loads = 0, refused = 0, broken = 0;
    for (const PluginFile &file : files) {
        const ProbeResult probe = probePlugin(file.path, {options.timeout, true});
        const Verdict verdict = judge(file.name, file.shown, probe, options.timeout, held);
        char id[16] = "-";
        if (probe.loadCalled)
            std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(probe.loadOut.pluginId));
        std::printf("%-*s  %-10s  %s\n", static_cast<int>(width), file.shown.c_str(), id,
                    verdict.text.c_str());
        std::fflush(stdout);
        ++(verdict.kind == Verdict::Kind::Loads ? loads : verdict.kind == Verdict::Kind::Refused ? refused : broken);
    }
    std::printf("%zu plugins: %d load, %d refused, %d not inspected%s\n", files.size(), loads, refused,
                broken, loads == static_cast<int>(files.size()) ? "" : "; dvrinspect FILE tells more");
    return loads == static_cast<int>(files.size());
}

int inspectInstalledCore(const Options &options)
{
    std::string core, why;
    if (!findCoreDirectory(core, why)) {
        std::fprintf(stderr, "dvrinspect: cannot find the installed core: %s; name plugin files or use --dir\n",
                     why.c_str());
        return 1;
    }
    std::printf("plugins of the core in %s, in load order:\n", core.c_str());
    std::vector<PluginDirectory> directories;
    for (const char *name : kCorePluginDirectories)
        directories.push_back({core + "/" + name, name});
    return inspectDirectories(directories, options) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    const int parsed = parseArguments(argc, argv, options);
    if (parsed >= 0)
        return parsed;

    if (!options.files.empty()) {
        QuietProbes quiet(options.timeout);
        bool allLoad = true;
        for (size_t i = 0; i < options.files.size(); ++i) {
            if (i > 0)
                std::printf("\n");
            allLoad = inspectFile(options.files[i], options, quiet) && allLoad;
            std::fflush(stdout);
        }
        return allLoad ? 0 : 1;
    }
    if (options.directories.empty())
        return inspectInstalledCore(options);

    std::vector<PluginDirectory> directories;
    std::string names;
    for (const std::string &directory : options.directories) {
        std::string canonical;
        struct stat status;
        if (!canonicalPath(directory, canonical) || stat(canonical.c_str(), &status) != 0 ||
            !S_ISDIR(status.st_mode))
            return usageError(directory + " is not a directory");
        std::string shown = directory;
        while (shown.size() > 1 && shown.back() == '/')
            shown.pop_back();
        directories.push_back({canonical, shown});
        names += (names.empty() ? "" : ", ") + directory;
    }
    std::printf("plugins in %s, in load order:\n", names.c_str());
    return inspectDirectories(directories, options) ? 0 : 1;
}
