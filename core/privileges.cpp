#include "core/privileges.h"

#include <grp.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sys/capability.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxGroups = 256;
// The masks cover the low word of the capability sets; the high word is
// always cleared.
constexpr int kMaskBits = 32;

struct CapFree {
    void operator()(std::remove_pointer_t<cap_t> *caps) const { cap_free(caps); }
};
using CapSet = std::unique_ptr<std::remove_pointer_t<cap_t>, CapFree>;

// Effective = permitted = `mask`, nothing else; null (errno set) on failure.
CapSet capSetOf(uint32_t mask)
{
    CapSet caps(cap_init());
    for (cap_value_t bit = 0; caps && bit < kMaskBits; ++bit) {
        if (!(mask & (1u << bit)))
            continue;
        if (cap_set_flag(caps.get(), CAP_EFFECTIVE, 1, &bit, CAP_SET) != 0 ||
            cap_set_flag(caps.get(), CAP_PERMITTED, 1, &bit, CAP_SET) != 0)
            caps.reset();
    }
    return caps;
}

// Applies the set to the calling thread. False with errno set.
bool applyCapabilities(uint32_t mask)
{
    const CapSet caps = capSetOf(mask);
    return caps && cap_set_proc(caps.get()) == 0;
}

// The calling thread's permitted capabilities 0 to 31.
bool permittedCapabilities(uint32_t &mask)
{
    const CapSet caps(cap_get_proc());
    if (!caps)
        return false;
    mask = 0;
    for (cap_value_t bit = 0; bit < kMaskBits; ++bit) {
        cap_flag_value_t value = CAP_CLEAR;
        if (cap_get_flag(caps.get(), bit, CAP_PERMITTED, &value) == 0 && value == CAP_SET)
            mask |= 1u << bit;
    }
    return true;
}

}  // namespace

std::string Privileges::parentStatusPath()
{
    return "/proc/" + std::to_string(getppid()) + "/status";
}

Privileges::Privileges(CoreLogger log, std::string parentStatus)
    : log(log), parentStatus(std::move(parentStatus))
{
}

void Privileges::KeepCapabilitiesAcrossUserChange()
{
    // Not examined: without it a change of user drops every capability, and
    // the capability change that follows reports that.
    (void)cap_set_secbits(SECBIT_NO_SETUID_FIXUP);
}

bool Privileges::readRealUid(const std::string &statusPath, uint32_t &uid)
{
    std::ifstream file(statusPath);
    std::string line;
    while (std::getline(file, line)) {
        unsigned value = 0;
        if (std::sscanf(line.c_str(), "Uid: %u", &value) == 1) {
            uid = value;
            return true;
        }
    }
    return false;
}

bool Privileges::AdoptParentIdentity(uint32_t &parentUid)
{
    if (!readRealUid(parentStatus, parentUid)) {
        // Taken as root, so a root core stays root: say so rather than stay
        // silent about running with every privilege.
        log(75, "no user ID in %s: the parent is taken as root", parentStatus.c_str());
        parentUid = 0;
    }
    if (parentUid == getuid())
        return true;

    errno = 0;
    const passwd *entry = getpwuid(parentUid);
    if (!entry) {
        // No entry at all leaves errno 0, whose text would read "Success".
        log(100, "getpwuid failed: %s", errno ? std::strerror(errno) : "no such user");
        return false;
    }
    return switchIdentity(entry->pw_name, entry->pw_uid, entry->pw_gid);
}

bool Privileges::switchIdentity(const std::string &user, uid_t uid, gid_t gid)
{
    std::vector<gid_t> groups(kMaxGroups);
    int count = kMaxGroups;
    if (getgrouplist(user.c_str(), gid, groups.data(), &count) < 0) {
        log(100, "getgrouplist failed");
        return false;
    }
    groups.resize(static_cast<size_t>(count));

    if (setgid(gid) != 0) {
        log(100, "setuid/gid failed: %s", std::strerror(errno));
        return false;
    }
    if (setgroups(groups.size(), groups.data()) != 0) {
        log(100, "setgroups failed: %s", std::strerror(errno));
        return false;
    }
    if (setuid(uid) != 0) {
        log(100, "setuid/gid failed: %s", std::strerror(errno));
        return false;
    }
    return true;
}

bool Privileges::SetCapabilities(uint32_t mask)
{
    if (applyCapabilities(mask))
        return true;
    log(50, "capset failed: %s", std::strerror(errno));
    // A refused change leaves the thread as it was: after the change of user
    // that can be every capability root had. Narrowing within what is still
    // permitted cannot be refused, so at least nothing outside `mask` stays.
    uint32_t permitted = 0;
    if (!permittedCapabilities(permitted) || !applyCapabilities(mask & permitted))
        log(50, "capset failed: %s", std::strerror(errno));
    return false;
}
