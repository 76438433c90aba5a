#include "events/block_cache.h"

#include <malloc.h>

#include <cstddef>
#include <cstdlib>

static_assert(size_t(1) << 17 == BlockCache::kMaxBlockBytes, "one size class per power of two");
static_assert(BlockCache::kMaxBlockBytes <= BlockCache::kBudgetBytes, "the largest block fits");

BlockCache::~BlockCache()
{
    std::vector<Block> released;
    setEnabled(false, released);
    freeBlocks(released);
}

BlockCache::Block BlockCache::blockAt(void *data)
{
    return {data, malloc_usable_size(data)};
}

// Blocks of class k hold 2^k to 2^(k+1) - 1 bytes (class 0 also holds 0).
int BlockCache::sizeClass(size_t size)
{
    return size < 2 ? 0 : 63 - __builtin_clzll(static_cast<unsigned long long>(size));
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
    Stack &stack = classes[k];
    constexpr size_t kLook = 4;
    for (size_t looked = 0; looked < kLook && looked < stack.size(); ++looked) {
        Stack::Entry &entry = stack.entries[stack.entries.size() - 1 - looked];
        if (entry.block.size >= len && entry.block.size - len <= len / 2) {
            const Block block = entry.block;
            entry = stack.entries.back();
            stack.entries.pop_back();
            removed(stack, block);
            return block.data;
        }
    }
    return nullptr;
}

// What is not kept goes back in `freed` where it was, and the blocks pushed
// out follow it.
void BlockCache::keep(std::vector<Block> &freed)
{
    const size_t count = freed.size();
    size_t left = 0;
    for (size_t i = 0; i < count; ++i) {
        const Block block = freed[i];
        if (!enabled || block.size == 0 || block.size > kMaxBlockBytes) {
            freed[left++] = block;
            continue;
        }
        // An empty cache has room for any block up to kMaxBlockBytes.
        while (!fits(block.size))
            freed.push_back(pushOutOldest());
        store(sizeClass(block.size), block);
    }
    freed.erase(freed.begin() + left, freed.begin() + count);
}

void BlockCache::store(int k, const Block &block)
{
    constexpr size_t kSmallStack = 64;
    Stack &stack = classes[k];
    stack.entries.push_back({block, keeps++});
    inUse |= 1u << k;
    bytes += block.size;
    ++held;
    grown = grown || stack.entries.size() > kSmallStack;
}

// Takes out the block kept longest: the bottom block of the stack whose
// bottom is oldest. The cache must not be empty.
BlockCache::Block BlockCache::pushOutOldest()
{
    Stack *oldest = nullptr;
    for (uint32_t rest = inUse; rest != 0; rest &= rest - 1) {
        Stack &stack = classes[__builtin_ctz(rest)];
        if (!oldest || stack.entries[stack.first].kept < oldest->entries[oldest->first].kept)
            oldest = &stack;
    }
    const Block block = oldest->entries[oldest->first++].block;
    removed(*oldest, block);
    return block;
}

// Counts `block` out, and gives the room at the bottom of `stack` back to
// its top once that is worth a move.
void BlockCache::removed(Stack &stack, const Block &block)
{
    bytes -= block.size;
    --held;
    constexpr size_t kMoveAt = 32;
    if (stack.empty()) {
        stack.entries.clear();
        stack.first = 0;
        inUse &= ~(1u << (&stack - classes));
    } else if (stack.first >= kMoveAt && stack.first >= stack.size()) {
        stack.entries.erase(stack.entries.begin(),
                            stack.entries.begin() + static_cast<std::ptrdiff_t>(stack.first));
        stack.first = 0;
    }
}

void BlockCache::shrink()
{
    if (!grown)
        return;
    grown = false;
    for (Stack &stack : classes)
        if (stack.entries.capacity() > 2 * stack.entries.size() + 64)
            stack.entries.shrink_to_fit();
}

void BlockCache::setEnabled(bool on, std::vector<Block> &released)
{
    enabled = on;
    if (on)
        return;
    for (Stack &stack : classes) {
        for (size_t i = stack.first; i < stack.entries.size(); ++i)
            released.push_back(stack.entries[i].block);
        std::vector<Stack::Entry>().swap(stack.entries);
        stack.first = 0;
    }
    bytes = 0;
    held = 0;
    inUse = 0;
}

void freeBlocks(std::vector<BlockCache::Block> &blocks)
{
    for (const BlockCache::Block &block : blocks)
        std::free(block.data);
    blocks.clear();
}
