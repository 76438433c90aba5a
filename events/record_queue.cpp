#include "events/record_queue.h"

#include <utility>

void RecordQueue::push(const _EventParmsIn &record)
{
    if (chunks.empty() || chunks.back()->end == kChunkRecords)
        chunks.push_back(newChunk());
    Chunk &tail = *chunks.back();
    tail.records[tail.end++] = record;
    ++count;
}

std::unique_ptr<RecordQueue::Chunk> RecordQueue::newChunk()
{
    if (spares.empty())
        return std::make_unique<Chunk>();
    std::unique_ptr<Chunk> chunk = std::move(spares.back());
    spares.pop_back();
    return chunk;
}

void RecordQueue::takeAll(RecordQueue &into)
{
    into.chunks.swap(chunks);
    into.count = count;
    count = 0;
    while (spares.size() < kSpareChunks && !into.spares.empty()) {
        spares.push_back(std::move(into.spares.back()));
        into.spares.pop_back();
    }
}

void RecordQueue::freeSpares(size_t keep)
{
    if (spares.size() > keep)
        spares.resize(keep);
}
