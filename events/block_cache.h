// Freed event data blocks kept for the next events' copies.
//
// Every event with data costs the producer a malloc and, once the last
// holder lets go, a free on the delivery thread. With glibc that is the slow
// path on both sides (the block goes back to the producer's arena under the
// arena's lock), and a freed large block is often trimmed from the top of
// the heap, so the next copy of the same size faults its pages in again and
// the kernel zeroes them. The delivery loop hands the blocks it frees to this
// cache instead, and the next copy of a similar size reuses one.
//
// While events flow the cache keeps every block the loop frees (none larger
// than kMaxBlockBytes): in a burst, the producers reuse them instead of
// growing the heap, and the memory is no more than the burst's queued blocks
// held anyway. When the loop goes to sleep the cache is cut back to
// kBudgetBytes, so a quiet bus keeps little, which suits a device with
// little memory; it is emptied, and keeps nothing, while memory runs low.
//
// Blocks are kept in stacks by size class (a power of two), the last one
// kept being the first reused, while its memory is most likely still in a
// cache of the processor. They stay plain malloc blocks: whatever leaves the
// cache may be released with free(). Not thread-safe: the event bus guards it
// with a lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class BlockCache {
public:
    static constexpr size_t kBudgetBytes = 256 * 1024;
    static constexpr size_t kMaxBlockBytes = 128 * 1024;

    // A freed block and the number of bytes it can hold.
    struct Block {
        void *data;
        size_t size;
    };

    BlockCache() = default;
    ~BlockCache();
    BlockCache(const BlockCache &) = delete;
    BlockCache &operator=(const BlockCache &) = delete;

    // A cached block of at least `len` bytes and at most half again as many,
    // taken out of the cache (the most recently kept of the few looked at);
    // null when there is none.
    void *take(size_t len);

    bool empty() const { return bytes == 0; }

    // Keeps `blocks` (those not larger than kMaxBlockBytes) and leaves the
    // rest in it, for the caller to free with no lock held. Keeps nothing
    // while disabled.
    void keep(std::vector<Block> &blocks);
    // Hands back, for the caller to free, blocks beyond kBudgetBytes, and
    // gives back the bookkeeping a burst grew. Cheap when there is neither.
    void trim(std::vector<Block> &released);

    // While disabled, the cache keeps nothing. Disabling hands back every
    // cached block for the caller to free.
    void setEnabled(bool enabled, std::vector<Block> &released);

    size_t cachedBytes() const { return bytes; }

private:
    static constexpr int kClasses = 18;  // 2^17 = kMaxBlockBytes
    static int sizeClass(size_t size);
    void *takeFrom(int sizeClass, size_t len);

    std::vector<Block> classes[kClasses];
    size_t bytes = 0;
    bool enabled = true;
    bool grown = false;  // a burst was kept: the stacks may hold spare capacity
};

// Frees what a cache handed back.
void freeBlocks(std::vector<BlockCache::Block> &blocks);
