// Per-source log thresholds: one signed byte per source, -1 meaning unset.
//
// Every thread that logs reads these without a lock; each entry is a single
// atomic byte with sequentially consistent loads and stores.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "log/provider_id.h"
#include "plugin/dvrplugin.h"

class LogLevelTable {
public:
    static constexpr int kSize = DVR_LOG_LEVEL_ARRAY_SIZE;  // indexes 0..254
    static constexpr int8_t kUnset = -1;

    // The core's own entry (provider DVR_PROVIDER_CORE).
    static constexpr uint32_t kCoreIndex = providerIndex(DVR_PROVIDER_CORE);

    // Table index of a provider: bits 16-27 of its ID. May be kSize or more.
    static constexpr uint32_t indexOf(uint32_t providerID) { return providerIndex(providerID); }

    LogLevelTable()
    {
        for (auto &entry : levels)
            entry.store(kUnset);
    }

    // The entry at `index`; an index outside the table reads as unset.
    int8_t get(uint32_t index) const { return index < kSize ? levels[index].load() : kUnset; }
    int8_t forProvider(uint32_t providerID) const { return get(indexOf(providerID)); }

    // Stores `level`; an index outside the table is ignored.
    void set(uint32_t index, int8_t level)
    {
        if (index < kSize)
            levels[index].store(level);
    }

private:
    std::array<std::atomic<int8_t>, kSize> levels;
};
