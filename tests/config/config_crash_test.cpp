// Saves cut short by SIGKILL: whatever moment a saving process dies at, the
// next load finds a whole document, byte for byte the last one whose save
// returned or the one being saved then; never a torn, mixed, empty or
// missing file. DVR_CRASH_KILLS sets the number of kills (default 200).
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "config/status_document.h"
#include "temp_dir.h"

namespace {

constexpr int kVersions = 3;

// Status documents with 1, 17 and 40 plugins: no two share a size, and a
// file made of parts of two is neither.
void buildVersions(std::array<XmlDocument, kVersions> &versions)
{
    const int pluginCounts[kVersions] = {1, 17, 40};
    for (int v = 0; v < kVersions; ++v) {
        StatusSnapshot status;
        status.coreVersion = "22.03.4." + std::to_string(v);
        for (int i = 0; i < pluginCounts[v]; ++i)
            status.plugins.push_back({0x00010000u * (i + 1), "p" + std::to_string(i) + ".so", i, v, 0});
        LogLevelTable levels;
        buildStatusDocument(status, levels, levels, versions[v]);
    }
}

// Forks a child that saves the versions in turn from `first` on until it is
// killed. It writes 'S' to the pipe when it runs, then each version's number
// after its save returned.
pid_t startSaving(const std::string &name, std::array<XmlDocument, kVersions> &versions,
                  int first, int pipeEnds[2])
{
    const pid_t child = fork();
    if (child != 0)
        return child;
    ::close(pipeEnds[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const char started = 'S';
    if (write(pipeEnds[1], &started, 1) != 1)
        _exit(2);
    for (int v = first;; v = (v + 1) % kVersions) {
        const char saved = static_cast<char>(v);
        if (!versions[v].save(name) || write(pipeEnds[1], &saved, 1) != 1)
            _exit(1);
    }
}

}  // namespace

TEST(ConfigCrash, KilledSavesLeaveAWholeDocumentForTheNextLoad)
{
    const char *killsText = std::getenv("DVR_CRASH_KILLS");
    const long kills = killsText ? std::max(1L, std::atol(killsText)) : 200;
    std::array<XmlDocument, kVersions> versions;
    buildVersions(versions);
    std::array<std::string, kVersions> texts;
    for (int v = 0; v < kVersions; ++v)
        texts[v] = versions[v].print();

    TempDir dir;
    const std::string name = dir.file("core.xml");
    ASSERT_TRUE(versions[0].save(name));
    int inFile = 0;
    std::mt19937 random(20261209);
    std::uniform_int_distribution<int> delayUs(0, 4000);

    for (long k = 0; k < kills; ++k) {
        const int delay = delayUs(random);
        SCOPED_TRACE("kill " + std::to_string(k) + " after " + std::to_string(delay) + " us");
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        const pid_t child = startSaving(name, versions, (inFile + 1) % kVersions, ends);
        ASSERT_GT(child, 0);
        ::close(ends[1]);
        char byte = 0;
        ASSERT_TRUE(read(ends[0], &byte, 1) == 1 && byte == 'S');
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child failed a save, status " << status;
        int lastSaved = inFile;
        while (read(ends[0], &byte, 1) == 1)
            lastSaved = byte;
        ::close(ends[0]);

        XmlDocument loaded;
        ASSERT_TRUE(loaded.load(name)) << loaded.errorId() << " " << loaded.errorText();
        const int version = std::find(texts.begin(), texts.end(), loaded.print()) - texts.begin();
        ASSERT_TRUE(version == lastSaved || version == (lastSaved + 1) % kVersions)
            << "loaded version " << version << " after version " << lastSaved << " was saved";
        // The file too: the parser ignores what follows the root element.
        ASSERT_EQ(dir.read("core.xml"), texts[version]);
        inFile = version;
    }
}
