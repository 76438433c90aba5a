// Where queued records and freed data blocks wait: the chunked record queue
// and the cache of freed blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "events/block_cache.h"
#include "events/record_queue.h"

namespace {

_EventParmsIn record(uint32_t sequence)
{
    _EventParmsIn in{};
    in.providerID = sequence;
    return in;
}

TEST(RecordQueue, KeepsOrderAcrossChunksWhileTakenAndRefilled)
{
    RecordQueue queue, batch;
    uint32_t pushed = 0, delivered = 0;
    // Rounds of different sizes: within a chunk, exactly one, across many.
    for (uint32_t round : {1u, 31u, 32u, 33u, 100u, 0u, 5u, 1000u}) {
        for (uint32_t i = 0; i < round; ++i)
            queue.push(record(pushed++));
        ASSERT_EQ(queue.size(), pushed - delivered);
        queue.takeAll(batch);
        EXPECT_TRUE(queue.empty());
        const uint32_t taken = pushed;
        ASSERT_EQ(batch.size(), taken - delivered);
        batch.drain([&](const _EventParmsIn &in) {
            EXPECT_EQ(in.providerID, delivered++);
            EXPECT_EQ(batch.size(), taken - delivered) << "size counts what is left";
            // Producers go on filling while a batch is delivered.
            if (in.providerID % 7 == 0)
                queue.push(record(pushed++));
        });
        EXPECT_TRUE(batch.empty());
        batch.freeSpares(RecordQueue::kSpareChunks);
    }
    queue.takeAll(batch);
    batch.drain([&](const _EventParmsIn &in) { EXPECT_EQ(in.providerID, delivered++); });
    EXPECT_EQ(delivered, pushed);
}

TEST(RecordQueue, ForEachSeesWhatIsLeftWithoutTakingIt)
{
    RecordQueue queue;
    for (uint32_t i = 0; i < 40; ++i)
        queue.push(record(i));
    uint32_t next = 0;
    queue.forEach([&](const _EventParmsIn &in) { EXPECT_EQ(in.providerID, next++); });
    EXPECT_EQ(next, 40u);
    EXPECT_EQ(queue.size(), 40u);
}

std::vector<BlockCache::Block> blocks(const std::vector<size_t> &sizes)
{
    std::vector<BlockCache::Block> made;
    for (size_t size : sizes)
        made.push_back({std::malloc(size), size});
    return made;
}

TEST(BlockCache, ReusesOnlyBlocksThatFitWithoutMuchWaste)
{
    BlockCache cache;
    auto freed = blocks({64, 100, 4096});
    void *const small = freed[0].data, *const middle = freed[1].data, *const page = freed[2].data;
    cache.keep(freed);
    EXPECT_TRUE(freed.empty());
    EXPECT_EQ(cache.cachedBytes(), 64u + 100u + 4096u);

    EXPECT_EQ(cache.take(65), nullptr) << "100 is more than half again 65";
    EXPECT_EQ(cache.take(70), middle);
    EXPECT_EQ(cache.take(64), small);
    EXPECT_EQ(cache.take(64), nullptr) << "100 is gone; 4096 would waste too much";
    EXPECT_EQ(cache.take(2000), nullptr) << "4096 is more than half again 2000";
    EXPECT_EQ(cache.take(5000), nullptr) << "too small";
    EXPECT_EQ(cache.take(3000), page);
    EXPECT_EQ(cache.cachedBytes(), 0u);
    for (void *data : {small, middle, page})
        std::free(data);
}

TEST(BlockCache, KeepsTheNewestBlocksWithinItsBudget)
{
    constexpr size_t KiB = 1024;
    constexpr size_t fill = BlockCache::kBudgetBytes / (96 * KiB);
    static_assert(fill * 96 * KiB + 40 * KiB > BlockCache::kBudgetBytes, "40 KiB more do not fit");
    BlockCache cache;
    // One 96 KiB block more than the budget holds: the last pushes the first
    // out. A block larger than kMaxBlockBytes is never kept.
    std::vector<size_t> sizes(fill + 1, 96 * KiB);
    sizes.push_back(BlockCache::kMaxBlockBytes + 1);
    auto freed = blocks(sizes);
    void *const first = freed[0].data, *const second = freed[1].data;
    cache.keep(freed);
    EXPECT_EQ(cache.cachedBytes(), fill * 96 * KiB);
    ASSERT_EQ(freed.size(), 2u) << "the caller frees what is not kept";
    EXPECT_EQ(freed[0].size, BlockCache::kMaxBlockBytes + 1) << "not kept";
    EXPECT_EQ(freed[1].data, first) << "pushed out";
    freeBlocks(freed);

    // Whatever the size, the block kept longest goes first.
    auto smaller = blocks({40 * KiB, 40 * KiB});
    cache.keep(smaller);
    EXPECT_EQ(cache.cachedBytes(), (fill - 1) * 96 * KiB + 2 * 40 * KiB);
    ASSERT_EQ(smaller.size(), 1u);
    EXPECT_EQ(smaller[0].data, second);
    freeBlocks(smaller);

    // Memory runs low: everything comes back, and nothing is kept until the
    // cache is enabled again. (ASan checks that no block is lost or freed
    // twice.)
    std::vector<BlockCache::Block> released;
    cache.setEnabled(false, released);
    EXPECT_EQ(released.size(), fill + 1);
    EXPECT_EQ(cache.cachedBytes(), 0u);
    EXPECT_EQ(cache.cachedBlocks(), 0u);
    freeBlocks(released);
    auto more = blocks({64});
    cache.keep(more);
    EXPECT_EQ(more.size(), 1u);
    cache.setEnabled(true, released);
    cache.keep(more);
    EXPECT_TRUE(more.empty()) << "the cache's destructor frees it";

    // Tiny blocks are bounded by their number as well: the 64-byte block
    // and the first ten tiny ones make room for the rest.
    std::vector<BlockCache::Block> tiny;
    for (size_t i = 0; i < BlockCache::kMaxBlocks + 10; ++i)
        tiny.push_back({std::malloc(8), 8});
    void *const firstTiny = tiny[0].data;
    cache.keep(tiny);
    EXPECT_EQ(cache.cachedBlocks(), BlockCache::kMaxBlocks);
    ASSERT_EQ(tiny.size(), 11u);
    EXPECT_EQ(tiny[0].size, 64u);
    EXPECT_EQ(tiny[1].data, firstTiny);
    freeBlocks(tiny);
}

// The delivery loop of a busy bus never sleeps: each batch of 64 copies is
// taken from the cache where a block fits and malloc'd otherwise, and the
// batch before it, delivered meanwhile, goes back to the cache, counted as
// the bus counts it. The cache keeps within its budget all along, and after
// the mixed load it still serves a burst of one size without a malloc.
TEST(BlockCache, StaysWithinItsBudgetWhileTheLoopNeverSleeps)
{
    BlockCache cache;
    uint64_t state = 12345;
    auto nextSize = [&state] {  // 2 to 100 KB, a fixed sequence
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return size_t(2000 + (state >> 33) % 98001);
    };
    std::vector<BlockCache::Block> delivered, posted;
    size_t reused = 0, events = 0;
    auto postBatch = [&](const std::function<size_t()> &size) {
        for (int i = 0; i < 64; ++i, ++events) {
            const size_t len = size();
            void *data = cache.take(len);
            reused += data != nullptr;
            posted.push_back(BlockCache::blockAt(data ? data : std::malloc(len)));
        }
    };
    auto deliverBatch = [&] {
        cache.keep(delivered);
        freeBlocks(delivered);
        std::swap(delivered, posted);
    };
    size_t mostBytes = 0, mostBlocks = 0;
    for (int round = 0; round < 1000; ++round) {  // 64,000 events
        postBatch(nextSize);
        deliverBatch();
        mostBytes = std::max(mostBytes, cache.cachedBytes());
        mostBlocks = std::max(mostBlocks, cache.cachedBlocks());
    }
    EXPECT_LE(mostBytes, BlockCache::kBudgetBytes);
    EXPECT_GT(mostBytes, BlockCache::kBudgetBytes / 2) << "the cache was in use";
    EXPECT_LE(mostBlocks, BlockCache::kMaxBlocks);

    // A burst of 2 KB copies: the first batch pushes out what the mixed
    // load left; from then on every copy reuses a block.
    postBatch([] { return size_t(2048); });
    deliverBatch();
    postBatch([] { return size_t(2048); });
    deliverBatch();
    reused = 0;
    for (int round = 0; round < 10; ++round) {
        postBatch([] { return size_t(2048); });
        deliverBatch();
        EXPECT_LE(cache.cachedBytes(), BlockCache::kBudgetBytes);
    }
    EXPECT_EQ(reused, 10u * 64);
    cache.keep(delivered);
    freeBlocks(delivered);
}

}  // namespace
