// Where queued records and freed data blocks wait: the chunked record queue
// and the cache of freed blocks.
#include <gtest/gtest.h>

#include <cstdlib>
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

std::vector<BlockCache::Block> blocks(std::initializer_list<size_t> sizes)
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

TEST(BlockCache, KeepsABurstAndIsCutBackToItsBudget)
{
    BlockCache cache;
    std::vector<BlockCache::Block> freed;
    for (size_t i = 0; i < 3; ++i)
        freed.push_back({std::malloc(96 * 1024), 96 * 1024});
    freed.push_back({std::malloc(BlockCache::kMaxBlockBytes + 1), BlockCache::kMaxBlockBytes + 1});
    cache.keep(freed);
    EXPECT_EQ(cache.cachedBytes(), 3u * 96 * 1024);
    ASSERT_EQ(freed.size(), 1u) << "the caller frees what is too large";
    freeBlocks(freed);

    // Going quiet: 3 x 96 KiB is over the 256 KiB budget by one block.
    std::vector<BlockCache::Block> released;
    cache.trim(released);
    EXPECT_EQ(released.size(), 1u);
    EXPECT_EQ(cache.cachedBytes(), 2u * 96 * 1024);
    freeBlocks(released);

    // Memory runs low: everything comes back, and nothing is kept until the
    // cache is enabled again. (ASan checks that no block is lost or freed
    // twice.)
    cache.setEnabled(false, released);
    EXPECT_EQ(released.size(), 2u);
    EXPECT_EQ(cache.cachedBytes(), 0u);
    freeBlocks(released);
    auto more = blocks({64});
    cache.keep(more);
    EXPECT_EQ(more.size(), 1u);
    cache.setEnabled(true, released);
    cache.keep(more);
    EXPECT_TRUE(more.empty()) << "the cache's destructor frees it";
}

}  // namespace
