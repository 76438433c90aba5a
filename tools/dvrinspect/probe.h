// Loading one plugin the way the core does, in a child process of its own, so
// that a plugin that crashes, hangs or ends the process in its initialisers,
// Load or Unload costs the inspector nothing but a report.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "plugin/dvrplugin.h"

// The eight entry points, in the order the core looks them up.
enum EntryPoint { kLoad, kUnload, kOpen, kClose, kRead, kWrite, kSeek, kIoctl, kEntryPointCount };
extern const char *const kEntryPointNames[kEntryPointCount];
// The C++ name each entry point gets when defined with the header's
// prototype but without C linkage.
extern const char *const kMangledEntryPointNames[kEntryPointCount];

// One bit per EntryPoint.
using EntryMask = uint8_t;
constexpr EntryMask entryBit(EntryPoint entry) { return static_cast<EntryMask>(1u << entry); }

struct ProbeResult {
    // How the child ended: it sent everything and exited; it was killed by a
    // signal; it outlived the timeout; it exited before sending everything.
    enum class End { Finished, Crashed, TimedOut, Exited, NotStarted };
    // The step the child was in when it ended.
    enum class Step { Opening, Loading, Loaded, Unloading, Done };

    End end = End::NotStarted;
    Step step = Step::Opening;
    int signal = 0;
    int exitStatus = 0;
    std::string failure;  // why the child could not be started

    bool opened = false;
    std::string openError;  // the loader's text when the library would not open
    EntryMask exported = 0;
    // Entry points found in the library itself under another spelling.
    EntryMask lowerCase = 0, upperCase = 0, mangled = 0;

    bool loadCalled = false;
    int32_t loadResult = 0;
    _LoadParmsOut loadOut{};

    bool unloadCalled = false;
    int32_t unloadResult = 0;
    int32_t unloadError = 0;

    // What the plugin posted through the event entry, one line each.
    std::vector<std::string> posted;
    uint32_t postsLeftOut = 0;

    bool loadAccepted() const { return loadCalled && loadResult == 0 && loadOut.error == 0; }
    // Ended by a crash, a hang or an exit: nothing more can be said.
    bool broken() const { return end != End::Finished; }
};

struct ProbeOptions {
    std::chrono::milliseconds timeout{10000};
    bool callUnload = true;  // after an accepted Load, when Unload is exported
};

// Opens `path` with RTLD_NOW | RTLD_LOCAL in a child process, calls Load with
// the records the core builds (and Unload when asked), and reports what
// happened. Never throws; a child that runs past the timeout is killed and
// reaped.
ProbeResult probePlugin(const std::string &path, const ProbeOptions &options);
