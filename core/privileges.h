// The process's identity and capabilities. The core may be started as root
// by a parent running as an ordinary user: it takes on the parent's user,
// group and supplementary groups, and keeps only the few capabilities its
// plugins need.
//
// Capabilities are a property of each thread, not of the process: a change
// applies to the calling thread and to the threads it starts afterwards.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "log/logging.h"

class Privileges {
public:
    // "/proc/<parent process ID>/status".
    static std::string parentStatusPath();

    // `parentStatus` is the file the parent's real user ID is read from.
    explicit Privileges(CoreLogger log, std::string parentStatus = parentStatusPath());

    // Lets the capability sets survive the change away from user ID 0.
    void KeepCapabilitiesAcrossUserChange();

    // Takes on the user, group and supplementary groups of the parent when its
    // real user ID (returned in `parentUid`) differs from the core's. Nothing
    // is changed unless every lookup succeeded. False, after logging at level
    // 100, when the identity could not be adopted.
    bool AdoptParentIdentity(uint32_t &parentUid);

    // Sets effective = permitted = `mask` (capabilities 0 to 31) and clears
    // the inheritable set. A refusal is logged at level 50 and the thread then
    // keeps only the part of `mask` it still holds; the core runs on.
    // Capabilities belong to each thread: this sets the calling thread's.
    // True when `mask` was set as asked.
    bool SetCapabilities(uint32_t mask);

    // The real user ID of the first "Uid:" line of a status file. False when
    // the file cannot be read or has no such line.
    static bool readRealUid(const std::string &statusPath, uint32_t &uid);

private:
    // Groups first, user last: changing the groups needs privileges that the
    // user change may take away.
    bool switchIdentity(const std::string &user, uid_t uid, gid_t gid);

    CoreLogger log;
    std::string parentStatus;
};
