#include "events/refblock_table.h"

#include <cstdlib>
#include <sstream>

#include "plugin/dvrplugin.h"

bool RefBlockTable::HolderSet::insert(uint32_t holder)
{
    for (uint32_t i = 0; i < count; ++i)
        if (at(i) == holder)
            return false;
    if (count < kInline)
        inlineHolders[count] = holder;
    else
        overflow.push_back(holder);
    ++count;
    return true;
}

bool RefBlockTable::HolderSet::erase(uint32_t holder)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (at(i) == holder) {
            at(i) = at(count - 1);  // order among holders carries no meaning
            if (count > kInline)
                overflow.pop_back();
            --count;
            return true;
        }
    }
    return false;
}

void RefBlockTable::add(const void *data, uint32_t len, uint32_t holder)
{
    if (!data)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    insertLocked(data, len, holder);
}

void RefBlockTable::insertLocked(const void *data, uint32_t len, uint32_t holder)
{
    auto [it, created] = blocks.try_emplace(data);
    if (created) {
        it->second.len = len;
        ++blockCount;
        byteCount += len;
    }
    it->second.holders.insert(holder);
}

bool RefBlockTable::release(const void *data, uint32_t holder)
{
    if (!data)
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    return releaseLocked(data, holder);
}

bool RefBlockTable::releaseLocked(const void *data, uint32_t holder)
{
    // The plugin being called with the block gives its hold up during the
    // call: the hold it has for the call (and one it kept earlier in the map,
    // as a set holds each holder once).
    const bool inCall = inCallRelease(data, holder);
    auto it = blocks.find(data);
    // A pointer the table does not know is not the caller's to free; nor is
    // the block in delivery, which the loop's hold keeps.
    if (it == blocks.end() || !it->second.holders.erase(holder) || inCall ||
        !it->second.holders.empty())
        return false;
    --blockCount;
    byteCount -= it->second.len;
    blocks.erase(it);
    return true;
}

// Under the lock: marks the current call's hold given up when `holder` is
// the plugin being called with `data`. The state word is read first and
// swapped only if unchanged, so the call it names is still under way.
bool RefBlockTable::inCallRelease(const void *data, uint32_t holder)
{
    uint64_t state = callState.load();
    if (!(state & kCallOpen) || (state & kCallReleased) || callHolder.load() != holder ||
        flightData.load() != data)
        return false;
    return callState.compare_exchange_strong(state, state | kCallReleased);
}

std::unordered_map<uint32_t, uint32_t> RefBlockTable::census() const
{
    std::unordered_map<uint32_t, uint32_t> result;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &entry : blocks)
        entry.second.holders.forEach([&](uint32_t holder) { ++result[holder]; });
    if (flightData.load() && !inMap) {
        ++result[DVR_PROVIDER_CORE];
        const uint64_t state = callState.load();
        if ((state & kCallOpen) && !(state & kCallReleased))
            ++result[callHolder.load()];
    }
    return result;
}

RefBlockTable::Counts RefBlockTable::counts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (flightData.load() && !inMap)
        return {blockCount + 1, byteCount + flightLen.load()};
    return {blockCount, byteCount};
}

bool RefBlockTable::contains(const void *data) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return blocks.count(data) != 0 || (data && flightData.load() == data);
}

void RefBlockTable::drop(void *data, uint32_t holder)
{
    if (data && release(data, holder))
        freeBlock(data);
}

void RefBlockTable::freeBlock(void *data)
{
    if (beforeFree)
        beforeFree(data);
    std::free(data);
}

void DeliveryHolds::kept(uint32_t holder)
{
    // Closed under the lock, so that a release either came first (and is
    // seen here) or finds the keeper's hold in the map.
    std::lock_guard<std::mutex> lock(table.mutex);
    const uint64_t state = table.callState.fetch_and(
        ~(RefBlockTable::kCallOpen | RefBlockTable::kCallReleased));
    if (state & RefBlockTable::kCallReleased)
        return;
    if (!table.inMap) {
        table.insertLocked(data, len, DVR_PROVIDER_CORE);
        table.inMap = true;
    }
    table.insertLocked(data, len, holder);
}

bool DeliveryHolds::finishKept()
{
    std::lock_guard<std::mutex> lock(table.mutex);
    table.inMap = false;
    table.flightData.store(nullptr);
    return table.releaseLocked(data, DVR_PROVIDER_CORE);
}

std::string RefBlockTable::leakReport()
{
    std::unordered_map<const void *, Block> taken;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken.swap(blocks);
        blockCount = 0;
        byteCount = 0;
    }
    std::ostringstream text;
    text << std::hex;
    for (const auto &entry : taken) {
        text << "address 0x" << reinterpret_cast<uintptr_t>(entry.first) << " leaked by plugins [";
        const char *separator = "";
        entry.second.holders.forEach([&](uint32_t holder) {
            text << separator << holder;
            separator = ",";
        });
        text << "]\n";
    }
    return text.str();
}
