// A first-in, first-out queue of whole event records, stored in fixed-size
// chunks that are reused: appending never moves records already queued, and a
// steady flow of events allocates nothing. The delivery loop takes everything
// queued at once (takeAll, a move of chunk pointers) and delivers from its own
// queue with no lock held; the chunks it has emptied go back to the
// producers' side for reuse. Not thread-safe: the owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "plugin/dvrplugin.h"

class RecordQueue {
public:
    // 32 records of 184 bytes: a chunk stays well below the size at which
    // malloc maps memory of its own, on 32- and 64-bit builds alike.
    static constexpr uint32_t kChunkRecords = 32;
    // Emptied chunks kept for reuse while the queue is quiet.
    static constexpr size_t kSpareChunks = 4;

    RecordQueue() = default;
    RecordQueue(const RecordQueue &) = delete;
    RecordQueue &operator=(const RecordQueue &) = delete;

    void push(const _EventParmsIn &record) { append() = record; }
    // A new record at the tail, for the caller to fill.
    _EventParmsIn &append();
    bool empty() const { return count == 0; }
    size_t size() const { return count; }
    size_t spareChunks() const { return spares.size(); }

    // Moves every record, in order, to `into`, which must be empty. The
    // chunks `into` emptied earlier come here for reuse: in a burst the
    // producers refill the same memory instead of growing the heap.
    void takeAll(RecordQueue &into);

    // Takes the chunks `from` emptied, for reuse.
    void reuseSpares(RecordQueue &from);
    // Moves the spare chunks beyond `keep` to `into`, which frees them with
    // freeSpares() once no lock is held. For when the queue goes quiet.
    void moveSparesBeyond(size_t keep, RecordQueue &into);

    // Calls `visit` with each record in order, and removes each one after
    // its call: size() counts only the records not visited yet.
    template <typename Visit>
    void drain(Visit visit);

    // Frees the spare chunks beyond `keep` (and the bookkeeping a burst
    // grew).
    void freeSpares(size_t keep = 0);

    // Calls `visit` with each queued record, in order, without removing it.
    template <typename Visit>
    void forEach(Visit visit) const
    {
        for (const auto &chunk : chunks)
            for (uint32_t i = chunk->begin; i < chunk->end; ++i)
                visit(chunk->records[i]);
    }

private:
    struct Chunk {
        uint32_t begin = 0;
        uint32_t end = 0;
        _EventParmsIn records[kChunkRecords];
    };
    std::unique_ptr<Chunk> newChunk();
    void releaseBurstBookkeeping();

    std::vector<std::unique_ptr<Chunk>> chunks;  // in order; the last one fills
    std::vector<std::unique_ptr<Chunk>> spares;  // empty, for reuse
    size_t count = 0;
};

template <typename Visit>
void RecordQueue::drain(Visit visit)
{
    for (auto &chunk : chunks) {
        while (chunk->begin < chunk->end) {
            const _EventParmsIn &record = chunk->records[chunk->begin];
            ++chunk->begin;
            --count;
            visit(record);
        }
        chunk->begin = chunk->end = 0;
        spares.push_back(std::move(chunk));
    }
    chunks.clear();
}
