#include "events/refblock_table.h"

#include <cstdlib>
#include <sstream>

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

void RefBlockTable::HolderSet::erase(uint32_t holder)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (at(i) == holder) {
            at(i) = at(count - 1);  // order among holders carries no meaning
            if (count > kInline)
                overflow.pop_back();
            --count;
            return;
        }
    }
}

void RefBlockTable::add(const void *data, uint32_t len, uint32_t holder)
{
    Change change;
    change.add[0] = holder;
    apply(data, len, change);
}

bool RefBlockTable::release(const void *data, uint32_t holder)
{
    Change change;
    change.drop[0] = holder;
    return apply(data, 0, change);
}

bool RefBlockTable::apply(const void *data, uint32_t len, const Change &change)
{
    if (!data)
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = blocks.find(data);
    if (it != blocks.end())
        for (uint32_t holder : change.drop)
            if (holder != kNoHolder)
                it->second.holders.erase(holder);
    bool added = false;
    for (uint32_t holder : change.add) {
        if (holder == kNoHolder)
            continue;
        if (it == blocks.end()) {
            it = blocks.try_emplace(data).first;
            it->second.len = len;
            ++blockCount;
            byteCount += len;
        }
        it->second.holders.insert(holder);
        added = true;
    }
    // A pointer the table does not know is not the caller's to free.
    if (added || it == blocks.end() || !it->second.holders.empty())
        return false;
    --blockCount;
    byteCount -= it->second.len;
    blocks.erase(it);
    return true;
}

std::unordered_map<uint32_t, uint32_t> RefBlockTable::census() const
{
    std::unordered_map<uint32_t, uint32_t> result;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto &entry : blocks)
        entry.second.holders.forEach([&](uint32_t holder) { ++result[holder]; });
    return result;
}

RefBlockTable::Counts RefBlockTable::counts() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return {blockCount, byteCount};
}

bool RefBlockTable::contains(const void *data) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return blocks.count(data) != 0;
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

void DeliveryHolds::registerCore()
{
    if (pending.add[0] != core)
        return;
    table.apply(data, len, pending);
    pending = {};
}

void DeliveryHolds::beforeCall(uint32_t holder)
{
    pending.add[1] = holder;
    table.apply(data, len, pending);
    pending = {};
}

void DeliveryHolds::afterCall(uint32_t holder, bool keep)
{
    if (!keep)
        pending.drop[0] = holder;
}

bool DeliveryHolds::finish()
{
    if (!data)
        return false;
    // When no plugin took the block and no report counted it, it never
    // entered the table, and the loop's hold was the only one.
    if (pending.add[0] == core)
        return true;
    pending.drop[1] = core;
    return table.apply(data, len, pending);
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
