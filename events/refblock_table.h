// Reference-block table: who still holds each shared event data block.
//
// The event entry makes one heap copy of an event's data; the delivery loop
// and every plugin that receives the event hold it through this table. The
// table never frees data itself in release(), which tells the caller whether
// it was the last holder; drop() does both steps for the core's own callers.
#pragma once

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

    // Several holds of one block dropped and added in one step under the
    // lock, for the delivery loop, which hands each block to plugin after
    // plugin (DeliveryHolds below). Drops come first; the block is created
    // by the first add when it is not in the table. Answers like release():
    // true when no holder is left and the caller is to free `data` (adds
    // always leave one). Any value is a holder ID, 0 included.
    struct Change {
        uint32_t drop[2];
        uint32_t add[2];
        uint8_t drops = 0;
        uint8_t adds = 0;
        void dropHolder(uint32_t holder) { drop[drops++] = holder; }
        void addHolder(uint32_t holder) { add[adds++] = holder; }
    };
    bool apply(const void *data, uint32_t len, const Change &change);
    // Frees `data` as the last holder's drop does: the listener first.
    void freeBlock(void *data);

    // Number of blocks each holder holds.
    std::unordered_map<uint32_t, uint32_t> census() const;

    Counts counts() const;

    // Whether `data` is a block currently in the table.
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
        void erase(uint32_t holder);
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

    FreeListener beforeFree;
    mutable std::mutex mutex;
    uint32_t blockCount = 0;
    uint32_t byteCount = 0;
    std::unordered_map<const void *, Block> blocks;
};

// The holds of one event's block while the delivery loop hands it out. The
// loop holds the block from the start of the event to its end; each plugin
// holds it during its call and, if it keeps the block, until it releases it.
// The loop's own hold stays in place throughout, so a plugin's hold may be
// dropped late: it is dropped together with the next plugin's add, and the
// last with the loop's own, one lock per plugin instead of two, and none for
// an event no plugin takes. Every hold is in the table whenever a plugin
// could act on it: from just before its call until it releases it.
class DeliveryHolds {
public:
    DeliveryHolds(RefBlockTable &table, void *data, uint32_t len, uint32_t core)
        : table(table), data(data), len(len), core(core)
    {
        pending.addHolder(core);
    }
    DeliveryHolds(const DeliveryHolds &) = delete;
    DeliveryHolds &operator=(const DeliveryHolds &) = delete;

    // The loop's own hold goes into the table now (for the status report).
    void registerCore();
    // `holder` is about to be called with the block.
    void beforeCall(uint32_t holder);
    // `holder`'s call returned; unless it keeps the block its hold goes.
    void afterCall(uint32_t holder, bool keep);
    // The loop lets go. True when it was the last holder and is to dispose
    // of the block (the table no longer has it).
    bool finish();

private:
    void flush();

    RefBlockTable &table;
    void *const data;
    const uint32_t len;
    const uint32_t core;
    bool coreInTable = false;
    RefBlockTable::Change pending;
};
