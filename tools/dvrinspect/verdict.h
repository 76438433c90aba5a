// The core's decision on one plugin, from what its probe found, in the
// core's own words.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "probe.h"

struct Verdict {
    enum class Kind { Loads, Refused, Broken };
    Kind kind = Kind::Broken;
    // The core's log line for a refusal; for a broken plugin, what happened.
    std::string text;
};

// The IDs taken so far in load order, each with the file that holds it. It
// starts with the core's own ID.
class HeldIds {
public:
    HeldIds();
    const std::string *holder(uint32_t id) const;
    void take(uint32_t id, const std::string &file) { holders.emplace(id, file); }

private:
    std::map<uint32_t, std::string> holders;
};

// The core's checks in its order: the library opens, exports Load, Load
// accepts, the ID is free, the ID fits the log-level tables. An accepted
// plugin takes its ID in `held` under `shownPath`.
Verdict judge(const std::string &fileName, const std::string &shownPath, const ProbeResult &probe,
              const std::chrono::milliseconds &timeout, HeldIds &held);

// Any of ID bits 24-27 set: beyond the core's log-level tables.
constexpr bool idTooLarge(uint32_t id) { return ((id >> 16) & 0xF00u) != 0; }
