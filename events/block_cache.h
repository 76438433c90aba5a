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
// The budget: the cache never holds more than kBudgetBytes of blocks (the
// bytes each can hold, added up) in more than kMaxBlocks blocks, whether
// events flow or the bus is quiet, so what it keeps is a small fixed amount
// on a device with little memory, however long the delivery loop stays
// busy. In a steady flow of similar sizes the producers take the blocks out
// about as fast as the loop puts them in, so the budget is seldom reached
// and the copies need no malloc. A block that does not fit pushes out the
// blocks kept longest, which no copy has wanted since: the cache follows the
// sizes of the moment. None larger than kMaxBlockBytes is kept. While memory
// runs low the cache is emptied and keeps nothing.
//
// The budget holds seven blocks of 64 KiB frames (a malloc block holds a few
// bytes more than was asked for, so not eight): with less, a burst of large
// frames between two sleeps of the loop pushes blocks out that the producers
// want a moment later, glibc trims them from the top of the heap, and every
// copy faults its pages in again (measured: runs of 64 KiB events at less
// than half the rate, with a hundred times the page faults).
//
// Blocks are kept in stacks by size class (a power of two), the last one
// kept being the first reused, while its memory is most likely still in a
// cache of the processor; the oldest sit at the bottom, first to be pushed
// out. They stay plain malloc blocks: whatever leaves the cache may be
// released with free(). Not thread-safe: the event bus guards it with a lock
// of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class BlockCache {
public:
    static constexpr size_t kBudgetBytes = 512 * 1024;
    static constexpr size_t kMaxBlocks = 1024;  // bounds the bookkeeping of tiny blocks
    static constexpr size_t kMaxBlockBytes = 128 * 1024;
    // The event bus hands the cache no block of an event shorter than this
    // (audio frames, log lines, documents): malloc serves such sizes for
    // less than the cache's bookkeeping and locks cost, and freeing them
    // never trims the heap. The cache is for the frames that do.
    static constexpr size_t kMinBlockBytes = 4096;

    // A freed block and the number of bytes it can hold.
    struct Block {
        void *data;
        size_t size;
    };

    // The malloc block at `data` with every byte it can hold, which may be
    // more than its event's length: a block reused for a shorter event
    // still counts whole.
    static Block blockAt(void *data);

    BlockCache() = default;
    ~BlockCache();
    BlockCache(const BlockCache &) = delete;
    BlockCache &operator=(const BlockCache &) = delete;

    // A cached block of at least `len` bytes and at most half again as many,
    // taken out of the cache (the most recently kept of the few looked at);
    // null when there is none.
    void *take(size_t len);

    bool empty() const { return bytes == 0; }

    // Keeps `blocks` (those not larger than kMaxBlockBytes), pushing out the
    // longest kept where the budget calls for it, and leaves in `blocks` what
    // it did not keep and what it pushed out, for the caller to free with no
    // lock held. Keeps nothing while disabled.
    void keep(std::vector<Block> &blocks);
    // Gives back the spare room of the stacks a burst grew. Cheap when there
    // is none, as on almost every call.
    void shrink();

    // While disabled, the cache keeps nothing. Disabling hands back every
    // cached block for the caller to free.
    void setEnabled(bool enabled, std::vector<Block> &released);

    size_t cachedBytes() const { return bytes; }
    size_t cachedBlocks() const { return held; }

private:
    static constexpr int kClasses = 18;  // 2^17 = kMaxBlockBytes
    static_assert(kClasses <= 32, "a bit for each class");

    // One size class, oldest first from `first` on: blocks are taken and
    // kept at the back and pushed out at the front.
    struct Stack {
        struct Entry {
            Block block;
            uint64_t kept;  // when it was kept, in blocks kept before it
        };
        std::vector<Entry> entries;
        size_t first = 0;
        bool empty() const { return first == entries.size(); }
        size_t size() const { return entries.size() - first; }
    };

    static int sizeClass(size_t size);
    void *takeFrom(int sizeClass, size_t len);
    bool fits(size_t size) const { return bytes + size <= kBudgetBytes && held < kMaxBlocks; }
    void store(int sizeClass, const Block &block);
    Block pushOutOldest();
    void removed(Stack &stack, const Block &block);

    Stack classes[kClasses];
    size_t bytes = 0;  // at most kBudgetBytes
    size_t held = 0;   // at most kMaxBlocks
    uint64_t keeps = 0;
    uint32_t inUse = 0;  // bit k: classes[k] is not empty
    bool enabled = true;
    bool grown = false;  // a burst was kept: the stacks may hold spare room
};

// Frees what a cache handed back.
void freeBlocks(std::vector<BlockCache::Block> &blocks);
