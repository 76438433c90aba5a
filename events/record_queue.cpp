#include "events/record_queue.h"

#include <utility>

_EventParmsIn &RecordQueue::append()
{
    if (chunks.empty() || chunks.back()->end == kChunkRecords)
        chunks.push_back(newChunk());
    Chunk &tail = *chunks.back();
    ++count;
    return tail.records[tail.end++];
}

std::unique_ptr<RecordQueue::Chunk> RecordQueue::newChunk()
{
    // The records are left uninitialized: each is written before it is read.
    if (spares.empty())
        return std::unique_ptr<Chunk>(new Chunk);
    std::unique_ptr<Chunk> chunk = std::move(spares.back());
    spares.pop_back();
    return chunk;
}

void RecordQueue::takeAll(RecordQueue &into)
{
    into.chunks.swap(chunks);
    into.count = count;
    count = 0;
    reuseSpares(into);
}

void RecordQueue::reuseSpares(RecordQueue &from)
{
    for (auto &chunk : from.spares)
        spares.push_back(std::move(chunk));
    from.spares.clear();
}

void RecordQueue::moveSparesBeyond(size_t keep, RecordQueue &into)
{
    while (spares.size() > keep) {
        into.spares.push_back(std::move(spares.back()));
        spares.pop_back();
    }
    releaseBurstBookkeeping();
}

// After a burst, the vectors of chunk pointers give back what they grew to.
void RecordQueue::releaseBurstBookkeeping()
{
    constexpr size_t kLarge = 256;
    if (chunks.empty() && chunks.capacity() > kLarge)
        std::vector<std::unique_ptr<Chunk>>().swap(chunks);
    if (spares.capacity() > kLarge && spares.size() < kLarge / 4)
        spares.shrink_to_fit();
}

void RecordQueue::freeSpares(size_t keep)
{
    if (spares.size() > keep)
        spares.resize(keep);
    releaseBurstBookkeeping();
}
