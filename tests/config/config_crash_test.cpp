// Saves cut short by SIGKILL: whatever moment a saving process dies at, the
// next load finds a whole document, and it is either the last one whose save
// returned or the one being saved then. Never a torn, mixed, empty or missing
// file, and a pending file left behind does not upset later loads.
//
// DVR_CRASH_KILLS sets the number of kills (default 200), DVR_CRASH_SEED the
// seed of the kill delays; a failure prints both.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "config/status_document.h"
#include "config/xml_document.h"
#include "temp_dir.h"

namespace {

constexpr int kVersions = 3;
using Versions = std::array<XmlDocument, kVersions>;

long envNumber(const char *name, long fallback)
{
    const char *text = std::getenv(name);
    char *end = nullptr;
    const long value = text ? std::strtol(text, &end, 10) : 0;
    return text && *text && *end == '\0' && value > 0 ? value : fallback;
}

// Status documents of a core with 1, 17 and 40 plugins whose times and
// thresholds differ as well: no two versions share a size, and a file made
// of parts of two of them is none of them.
void buildVersions(Versions &versions)
{
    const int pluginCounts[kVersions] = {1, 17, 40};
    for (int v = 0; v < kVersions; ++v) {
        StatusSnapshot status;
        status.coreVersion = "22.03.4." + std::to_string(v);
        status.executableName = "dvrcore";
        for (int i = 0; i < pluginCounts[v]; ++i)
            status.plugins.push_back({0x00010000u * uint32_t(i + 1),
                                      "plugin" + std::to_string(i) + ".so", 10 * v + i, v, 0});
        status.failed = {{"broken" + std::to_string(v) + ".so", "invalid ELF header"}};
        LogLevelTable levels;
        LogLevelTable defaults;
        levels.set(LogLevelTable::kCoreIndex, int8_t(25 + v));
        defaults.set(LogLevelTable::kCoreIndex, 25);
        buildStatusDocument(status, levels, defaults, versions[v]);
    }
}

// A child process saving the versions in turn, from `first` on, to one file
// name until it is killed. It writes a byte to a pipe when it has started,
// then after each save that returned the version's number.
class SavingChild {
public:
    SavingChild(const std::string &fileName, Versions &versions, int first)
    {
        int ends[2];
        if (pipe(ends) != 0)
            return;
        const pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            ::close(ends[0]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const char started = kStarted;
            if (getppid() != parent || write(ends[1], &started, 1) != 1)
                _exit(3);
            for (int v = first;; v = (v + 1) % kVersions) {
                if (!versions[v].save(fileName))
                    _exit(1);
                const char saved = char(v);
                if (write(ends[1], &saved, 1) != 1)
                    _exit(2);
            }
        }
        ::close(ends[1]);
        if (pid > 0)
            reader = ends[0];
        else
            ::close(ends[0]);
    }
    ~SavingChild()
    {
        if (pid > 0)
            kill();
        if (reader >= 0)
            ::close(reader);
    }
    SavingChild(const SavingChild &) = delete;
    SavingChild &operator=(const SavingChild &) = delete;

    bool started() const { return pid > 0; }

    // Waits until the child runs; false when it ended first.
    bool running()
    {
        char started = 0;
        return read(reader, &started, 1) == 1 && started == kStarted;
    }

    // Kills and reaps the child; returns its wait status.
    int kill()
    {
        ::kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return status;
    }

    // After kill(): the version of the last save that returned, or
    // `before` when none did.
    int lastSavedVersion(int before)
    {
        char saved[256];
        ssize_t got;
        while ((got = read(reader, saved, sizeof saved)) > 0) {
            before = saved[got - 1];
            saves += got;
        }
        return before;
    }
    long savesCompleted() const { return saves; }

private:
    static constexpr char kStarted = 'S';
    pid_t pid = -1;
    int reader = -1;
    long saves = 0;
};

int versionOf(const std::string &text, const std::array<std::string, kVersions> &texts)
{
    for (int v = 0; v < kVersions; ++v)
        if (text == texts[v])
            return v;
    return -1;
}

}  // namespace

TEST(ConfigCrash, KilledSavesLeaveAWholeDocumentForTheNextLoad)
{
    const long kills = envNumber("DVR_CRASH_KILLS", 200);
    const long seed = envNumber("DVR_CRASH_SEED", 20261209);
    const int maxDelayUs = 4000;

    Versions versions;
    buildVersions(versions);
    std::array<std::string, kVersions> texts;
    for (int v = 0; v < kVersions; ++v)
        texts[v] = versions[v].print();

    // Every child finds a file there: it continues the cycle from the
    // version after the one the file holds.
    TempDir dir;
    const std::string name = dir.file("core.xml");
    ASSERT_TRUE(versions[0].save(name));
    int inFile = 0;
    std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
    std::uniform_int_distribution<int> delayUs(0, maxDelayUs);
    long pendingFound = 0;
    long pendingAdopted = 0;
    long savesCompleted = 0;

    for (long k = 0; k < kills; ++k) {
        const int delay = delayUs(random);
        SCOPED_TRACE("DVR_CRASH_SEED=" + std::to_string(seed) + ", kill " + std::to_string(k) +
                     " after " + std::to_string(delay) + " us");
        SavingChild child(name, versions, (inFile + 1) % kVersions);
        ASSERT_TRUE(child.started());
        ASSERT_TRUE(child.running());
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        const int status = child.kill();
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the child ended by itself, status " << status;
        const int lastSaved = child.lastSavedVersion(inFile);
        savesCompleted += child.savesCompleted();

        const bool pendingBefore = dir.exists("core.xml.pending");
        XmlDocument loaded;
        ASSERT_TRUE(loaded.load(name)) << loaded.errorId() << " " << loaded.errorText();
        const int version = versionOf(loaded.print(), texts);
        ASSERT_NE(version, -1) << "loaded a document that was never saved:\n" << loaded.print();
        ASSERT_TRUE(version == lastSaved || version == (lastSaved + 1) % kVersions)
            << "loaded version " << version << ", the last save that returned wrote "
            << lastSaved;
        // The file itself too: the parser ignores what follows the root
        // element, so a whole document with a stale tail would still load.
        ASSERT_EQ(dir.read("core.xml"), texts[version]);
        inFile = version;

        if (pendingBefore) {
            ++pendingFound;
            pendingAdopted += !dir.exists("core.xml.pending");
        }
        if (dir.exists("core.xml.pending")) {
            // A pending file the load left is ignored by the next one too.
            XmlDocument again;
            ASSERT_TRUE(again.load(name)) << again.errorText();
            ASSERT_EQ(again.print(), texts[version]);
        }
    }
    std::cout << kills << " kills, " << savesCompleted
              << " saves completed; a pending file was there " << pendingFound << " times, of which the load adopted " << pendingAdopted << '\n';
}
