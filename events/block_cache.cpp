#include "events/block_cache.h"

#include <cstdlib>

static_assert(size_t(1) << 17 == BlockCache::kMaxBlockBytes, "one size class per power of two");

BlockCache::~BlockCache()
{
    std::vector<Block> released;
    setEnabled(false, released);
    freeBlocks(released);
}

// Blocks of class k hold 2^k to 2^(k+1) - 1 bytes (class 0 also holds 0).
int BlockCache::sizeClass(size_t size)
{
    int k = 0;
    while (size >>= 1)
        ++k;
    return k;
}

void *BlockCache::take(size_t len)
{
    if (bytes == 0 || len == 0 || len > kMaxBlockBytes)
        return nullptr;
    // A block of len's own class may be too small; one of the next class
    // may be too large.
    const int k = sizeClass(len);
    void *data = takeFrom(k, len);
    if (!data && k + 1 < kClasses)
        data = takeFrom(k + 1, len);
    return data;
}

// The most recently kept block of class `k` that holds `len` bytes without
// being more than half again as large, taken out; null when there is none.
// Only the top few are looked at: the search stays short.
void *BlockCache::takeFrom(int k, size_t len)
{
    std::vector<Block> &stack = classes[k];
    constexpr size_t kLook = 4;
    for (size_t looked = 0; looked < kLook && looked < stack.size(); ++looked) {
        const size_t i = stack.size() - 1 - looked;
        if (stack[i].size >= len && stack[i].size - len <= len / 2) {
            void *data = stack[i].data;
            bytes -= stack[i].size;
            stack[i] = stack.back();
            stack.pop_back();
            return data;
        }
    }
    return nullptr;
}

void BlockCache::keep(std::vector<Block> &blocks)
{
    constexpr size_t kBurst = 64;
    grown = grown || blocks.size() > kBurst;
    size_t left = 0;
    for (const Block &block : blocks) {
        if (enabled && block.size != 0 && block.size <= kMaxBlockBytes) {
            classes[sizeClass(block.size)].push_back(block);
            bytes += block.size;
        } else {
            blocks[left++] = block;
        }
    }
    blocks.resize(left);
}

void BlockCache::trim(std::vector<Block> &released)
{
    // Called each time the delivery loop goes to sleep: usually nothing to do.
    if (bytes <= kBudgetBytes && !grown)
        return;
    grown = false;
    // The largest blocks go first: a budget's worth of small ones serves
    // more events.
    for (int k = kClasses - 1; k >= 0 && bytes > kBudgetBytes; --k) {
        std::vector<Block> &stack = classes[k];
        while (!stack.empty() && bytes > kBudgetBytes) {
            bytes -= stack.back().size;
            released.push_back(stack.back());
            stack.pop_back();
        }
    }
    for (std::vector<Block> &stack : classes)
        if (stack.capacity() > 2 * stack.size() + 64)
            stack.shrink_to_fit();
}

void BlockCache::setEnabled(bool on, std::vector<Block> &released)
{
    enabled = on;
    if (on)
        return;
    for (std::vector<Block> &stack : classes) {
        released.insert(released.end(), stack.begin(), stack.end());
        std::vector<Block>().swap(stack);
    }
    bytes = 0;
}

void freeBlocks(std::vector<BlockCache::Block> &blocks)
{
    for (const BlockCache::Block &block : blocks)
        std::free(block.data);
    blocks.clear();
}
