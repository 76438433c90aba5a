// Reference-block table: who still holds each shared event data block.
//
// The event entry makes one heap copy of an event's data; the delivery loop
// and every plugin that receives the event hold it through this table. The
// table never frees data itself in release(), which tells the caller whether
// it was the last holder; drop() does both steps for the core's own callers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

class RefBlockTable {
public:
    struct Counts {
        uint32_t blockCount;
        uint32_t byteCount;
    };

    // `beforeFree` is told of every block that drop() is about to free,
    // before its address can be handed out again by malloc.
    using FreeListener = std::function<void(const void *data)>;
    explicit RefBlockTable(FreeListener beforeFree = {}) : beforeFree(std::move(beforeFree)) {}
    RefBlockTable(const RefBlockTable &) = delete;
    RefBlockTable &operator=(const RefBlockTable &) = delete;

    // Registers `holder` as a holder of `data`. A null pointer is ignored.
    // The first add of a block fixes its length.
    void add(const void *data, uint32_t len, uint32_t holder);

    // Drops `holder`'s hold. Returns true when the caller is to free `data`:
    // it was the last holder. A null pointer answers true (nothing to free).
    //
    // A pointer the table does not know answers false: it was never handed
    // out as a shared block, or it has already been freed, so freeing it would
    // be a double free or a free of memory the core does not own.
    bool release(const void *data, uint32_t holder);

    // Drops `holder`'s hold; the last holder's drop frees the data (after
    // telling the free listener). Unknown pointers are left alone.
    void drop(void *data, uint32_t holder);

    // Frees `data` as the last holder's drop does: the listener first.
    void freeBlock(void *data);

    // Number of blocks each holder holds.
    std::unordered_map<uint32_t, uint32_t> census() const;

    Counts counts() const;

    // Whether `data` is a block currently in the table (the block being
    // delivered included).
    bool contains(const void *data) const;

    // Empties the table and returns one line per block some holder never
    // released: "address 0x<hex> leaked by plugins [<hex holder>,...]\n".
    // Empty when nothing leaked. The blocks are not freed: a holder may still
    // point at one. Used once, when the core is destroyed.
    std::string leakReport();

private:
    // The holders of one block: a handful at most (the core and the plugins
    // that keep it), so they live inline and only a crowd spills to the heap.
    class HolderSet {
    public:
        bool insert(uint32_t holder);
        bool erase(uint32_t holder);
        bool empty() const { return count == 0; }
        template <typename Visit>
        void forEach(Visit visit) const
        {
            for (uint32_t i = 0; i < count; ++i)
                visit(i < kInline ? inlineHolders[i] : overflow[i - kInline]);
        }

    private:
        static constexpr uint32_t kInline = 6;
        uint32_t &at(uint32_t i) { return i < kInline ? inlineHolders[i] : overflow[i - kInline]; }
        uint32_t count = 0;
        uint32_t inlineHolders[kInline];
        std::vector<uint32_t> overflow;
    };

    struct Block {
        uint32_t len = 0;
        HolderSet holders;
    };

    friend class DeliveryHolds;
    bool releaseLocked(const void *data, uint32_t holder);
    void insertLocked(const void *data, uint32_t len, uint32_t holder);
    bool inCallRelease(const void *data, uint32_t holder);

    FreeListener beforeFree;
    mutable std::mutex mutex;
    uint32_t blockCount = 0;
    uint32_t byteCount = 0;
    std::unordered_map<const void *, Block> blocks;

    // The block the delivery loop is handing out, while no plugin keeps it,
    // lives here instead of in `blocks`: the loop's hold and the hold of
    // the plugin it is calling are implied, and none of the loop's steps
    // takes the lock. DeliveryHolds (below) writes these, on the delivery
    // thread only; release() reads them under the lock.
    //   flightData  the block being delivered, or null;
    //   flightLen   its length;
    //   inMap       (under the lock) the block went into `blocks` because a
    //               plugin kept it: from then on its holds are counted there;
    //   callHolder  the plugin being called with it;
    //   callState   bit 0: that call is under way; bit 1: the plugin gave its
    //               hold up during the call; the rest counts calls, so that a
    //               release that read an earlier call's state cannot mark a
    //               later one (compare-and-swap on the whole word).
    static constexpr uint64_t kCallOpen = 1;
    static constexpr uint64_t kCallReleased = 2;
    static constexpr uint64_t kCallStep = 4;
    std::atomic<const void *> flightData{nullptr};
    std::atomic<uint32_t> flightLen{0};
    bool inMap = false;
    std::atomic<uint32_t> callHolder{0};
    std::atomic<uint64_t> callState{0};
    static_assert(std::atomic<const void *>::is_always_lock_free &&
                      std::atomic<uint32_t>::is_always_lock_free &&
                      std::atomic<uint64_t>::is_always_lock_free,
                  "the delivery loop's hand-over never takes a lock");
};

// The holds of one event's block while the delivery loop hands it out. The
// loop holds the block from the start of the event to its end; each plugin
// holds it during its call and, if it keeps the block, until it releases it.
//
// While no plugin keeps the block it stays out of the table's map: the loop
// announces the block and each call through atomics, and a plugin's release
// during its own call (from any thread) is noted there under the table's
// lock. So an event whose plugins do not keep its block costs the loop no
// lock at all, and the table still answers exactly, at every moment, who
// holds the block. Only a keep takes the lock: the block, with the loop's
// hold and the keeper's, goes into the map, and from then on its holds are
// counted there; the loop's own hold is then dropped under the lock at the
// end.
class DeliveryHolds {
public:
    // `data` may be null: an event without data holds nothing.
    DeliveryHolds(RefBlockTable &table, void *data, uint32_t len);
    ~DeliveryHolds();
    DeliveryHolds(const DeliveryHolds &) = delete;
    DeliveryHolds &operator=(const DeliveryHolds &) = delete;

    // `holder` is about to be called with the block.
    void beforeCall(uint32_t holder);
    // `holder`'s call returned; unless it keeps the block (and did not give
    // its hold up during the call) its hold goes.
    void afterCall(uint32_t holder, bool keep);
    // The loop lets go. True when it was the last holder and is to dispose
    // of the block (the table no longer has it).
    bool finish();

private:
    void kept(uint32_t holder);
    bool finishKept();

    RefBlockTable &table;
    void *const data;
    const uint32_t len;
    bool finished = false;
};

// The loop's steps, inline: each event and each call passes here.
inline DeliveryHolds::DeliveryHolds(RefBlockTable &table, void *data, uint32_t len)
    : table(table), data(data), len(len)
{
    if (!data)
        return;
    table.flightLen.store(len, std::memory_order_relaxed);
    table.flightData.store(data);
}

inline DeliveryHolds::~DeliveryHolds()
{
    if (data && !finished)
        finish();
}

inline void DeliveryHolds::beforeCall(uint32_t holder)
{
    if (!data)
        return;
    table.callHolder.store(holder);
    // The next call's count, under way, its hold not given up.
    const uint64_t state = table.callState.load(std::memory_order_relaxed);
    table.callState.store(((state & ~(RefBlockTable::kCallStep - 1)) + RefBlockTable::kCallStep) |
                          RefBlockTable::kCallOpen);
}

inline void DeliveryHolds::afterCall(uint32_t holder, bool keep)
{
    if (!data)
        return;
    if (keep) {
        kept(holder);
        return;
    }
    // Closed whatever a release made of it: the hold goes either way.
    table.callState.fetch_and(~(RefBlockTable::kCallOpen | RefBlockTable::kCallReleased));
}

inline bool DeliveryHolds::finish()
{
    finished = true;
    if (!data)
        return false;
    if (table.inMap)
        return finishKept();
    table.flightData.store(nullptr);
    return true;
}
