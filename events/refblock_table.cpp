#include "events/refblock_table.h"

#include <algorithm>

void RefBlockTable::add(const void *data, uint32_t len, uint32_t holder)
{
    if (!data)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    auto [it, created] = blocks.try_emplace(data);
    Block &block = it->second;
    if (created) {
        block.len = len;
        block.holders.reserve(4);
        block.holders.push_back(holder);
        ++blockCount;
        byteCount += len;
        return;
    }
    if (std::find(block.holders.begin(), block.holders.end(), holder) == block.holders.end())
        block.holders.push_back(holder);
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
    auto h = std::find(holders.begin(), holders.end(), holder);
    if (h != holders.end())
        holders.erase(h);
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
        for (uint32_t holder : entry.second.holders)
            ++result[holder];
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

void RefBlockTable::drain(const std::function<void(const void *, uint32_t,
                                                   const std::vector<uint32_t> &)> &visit)
{
    std::unordered_map<const void *, Block> taken;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken.swap(blocks);
        blockCount = 0;
        byteCount = 0;
    }
    for (const auto &entry : taken)
        visit(entry.first, entry.second.len, entry.second.holders);
}
