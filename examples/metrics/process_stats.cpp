#include "process_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace metrics {
namespace {

// Seconds since the epoch at which the machine booted, from /proc/stat.
double bootTimeSeconds()
{
    std::ifstream stat("/proc/stat");
    std::string key;
    double value = 0;
    while (stat >> key) {
        if (key == "btime" && stat >> value)
            return value;
        stat.ignore(4096, '\n');
    }
    return 0;
}

uint64_t countOpenFds()
{
    const std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir("/proc/self/fd"), closedir);
    if (!dir)
        return 0;
    uint64_t count = 0;
    while (const dirent *entry = readdir(dir.get()))
        if (entry->d_name[0] != '.')
            ++count;
    return count ? count - 1 : 0;  // the directory being read is one of them
}

}  // namespace

bool readProcessStats(ProcessStats &stats)
{
    stats = ProcessStats();
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        stats.maxFds = limit.rlim_cur;
    stats.openFds = countOpenFds();

    std::ifstream file("/proc/self/stat");
    std::string line;
    if (!std::getline(file, line))
        return false;
    // The command name in parentheses may hold spaces: count fields after it.
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0, start = 0, vsize = 0, rss = 0;
    // Fields 3.. of proc(5): state is 3, utime 14, stime 15, starttime 22,
    // vsize 23, rss 24 (pages).
    for (int number = 3; number <= 24 && fields >> field; ++number) {
        const unsigned long long value = std::strtoull(field.c_str(), nullptr, 10);
        switch (number) {
        case 14: utime = value; break;
        case 15: stime = value; break;
        case 22: start = value; break;
        case 23: vsize = value; break;
        case 24: rss = value; break;
        default: break;
        }
    }
    const double ticks = double(sysconf(_SC_CLK_TCK));
    stats.cpuSeconds = double(utime + stime) / ticks;
    stats.startTimeSeconds = bootTimeSeconds() + double(start) / ticks;
    stats.virtualBytes = vsize;
    stats.residentBytes = uint64_t(rss) * uint64_t(sysconf(_SC_PAGESIZE));
    return true;
}

}  // namespace metrics
