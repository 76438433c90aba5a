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
    if (!data)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    auto [it, created] = blocks.try_emplace(data);
    Block &block = it->second;
    block.holders.insert(holder);
    if (created) {
        block.len = len;
        ++blockCount;
        byteCount += len;
    }
}

bool RefBlockTable::release(const void *data, uint32_t holder)
{
    if (!data)
        return true;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = blocks.find(data);
    if (it == blocks.end())
        return false;
    auto &holders = it->second.holders;
    holders.erase(holder);
    if (!holders.empty())
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
    if (!data || !release(data, holder))
        return;
    if (beforeFree)
        beforeFree(data);
    std::free(data);
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
