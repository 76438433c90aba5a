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
    change.addHolder(holder);
    apply(data, len, change);
}

bool RefBlockTable::release(const void *data, uint32_t holder)
{
    Change change;
    change.dropHolder(holder);
    return apply(data, 0, change);
}

bool RefBlockTable::apply(const void *data, uint32_t len, const Change &change)
{
    if (!data)
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = blocks.find(data);
    if (it != blocks.end())
        for (uint8_t i = 0; i < change.drops; ++i)
            it->second.holders.erase(change.drop[i]);
    for (uint8_t i = 0; i < change.adds; ++i) {
        if (it == blocks.end()) {
            it = blocks.try_emplace(data).first;
            it->second.len = len;
            ++blockCount;
            byteCount += len;
        }
        it->second.holders.insert(change.add[i]);
    }
    // A pointer the table does not know is not the caller's to free.
    if (change.adds != 0 || it == blocks.end() || !it->second.holders.empty())
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

// Applies what is pending: the loop's own hold goes into the table with the
// first change, and from then on it is there.
void DeliveryHolds::flush()
{
    table.apply(data, len, pending);
    pending = {};
    coreInTable = true;
}

void DeliveryHolds::registerCore()
{
    if (!coreInTable)
        flush();
}

void DeliveryHolds::beforeCall(uint32_t holder)
{
    pending.addHolder(holder);
    flush();
}

void DeliveryHolds::afterCall(uint32_t holder, bool keep)
{
    if (!keep)
        pending.dropHolder(holder);
}

bool DeliveryHolds::finish()
{
    if (!data)
        return false;
    // When no plugin took the block and no report counted it, it never
    // entered the table, and the loop's hold was the only one.
    if (!coreInTable)
        return true;
    pending.dropHolder(core);
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
