// Short display names of event sources, by exact provider ID.
//
// Written while plugins load on the main thread and read by every thread that
// writes a log line, including plugins' worker threads that may already log
// while later plugins are still loading; hence the reader-writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <string>

class SourceNames {
public:
    // Inserts the name, or replaces the text of an existing entry.
    void set(uint32_t providerID, const std::string &name);
    bool contains(uint32_t providerID) const;
    // Copies the name (cut to size - 1 bytes, NUL-terminated) into `out`;
    // returns false, leaving "?", when the ID has no name.
    bool copyName(uint32_t providerID, char *out, size_t size) const;
    std::map<uint32_t, std::string> snapshot() const;

private:
    mutable std::shared_mutex mutex;
    std::map<uint32_t, std::string> names;
};
