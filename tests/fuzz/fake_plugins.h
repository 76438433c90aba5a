// The fake plugins of the event entry target and what they share with it.
//
// Plugins whose subscriptions and behaviour come from the input, and a
// sentinel that takes every event; all are plain function pointers on a
// TestHost, as plugins are on the core. Every event the target makes carries
// a tag in its last reserved bytes (serial number, kind) and data that spells
// out its serial, so whoever receives a record or a block can tell whether it
// is what was posted.
//
// Plugins run on the delivery thread only while the target lets them through
// a gate (the `sync` of the target), so that what they do, and the order of
// the events they post, does not depend on timing: between syncs their calls
// wait at the gate.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "entry_model.h"
#include "support/test_host.h"

// Seven fuzzed plugins and the sentinel: with the delivery loop, nine holders
// can hold one block, more than a block keeps without a list of its own.
constexpr int kPlugins = 8;
constexpr int kSentinel = kPlugins - 1;
constexpr int kReader = 0;       // the one plugin with a Read entry
constexpr uint32_t kPluginIds[kPlugins] = {0x00050000, 0x00060000, 0x00070000, 0x00080000,
                                           0x000A0000, 0x000B0000, 0x000C0000, 0x000D0000};
constexpr uint32_t kMarkerProvider = 0x00090000;

enum class Kind : uint8_t { Posted = 1, Nested, Marker, Answer };

struct Tag {
    uint64_t serial = 0;
    Kind kind = Kind::Posted;
    bool valid = false;
};
Tag tagOf(const uint8_t (&reserved3)[133]);
// Tags the record and fills its other reserved bytes from the serial.
void setTag(_EventParmsIn &in, uint64_t serial, Kind kind);
// Data of an event: its serial in the first bytes, then a pattern.
void fillData(uint8_t *data, uint32_t len, uint64_t serial);
bool dataIntact(const uint8_t *data, uint32_t len, uint64_t serial);
// Reads every byte, so that AddressSanitizer sees a block that is gone.
void touch(const void *data, uint32_t len);

// A block a plugin kept, and the serial of its event (0: not one of ours).
struct Kept {
    void *data;
    uint32_t len;
    uint64_t serial;
};

struct FakePlugin {
    uint32_t id = 0;
    uint32_t subscribe = 0;
    bool writable = true;
    bool hasIoctl = true;
    std::vector<uint8_t> script;  // one byte per call: what to do
    size_t step = 0;
    std::vector<Kept> kept;
    std::vector<void *> stale;    // blocks it released
    std::vector<uint64_t> written;  // serials that came through Write
    int ioctls = 0;
    std::vector<uint64_t> expectedWrites;
    int expectedIoctls = 0;
};

// What a read request's thread does, set before the request is posted.
struct ReadJob {
    struct Step {
        bool cancel;        // cancel the request's key, or answer
        int keyChoice;      // 0: the request's key, 1: another key, 2: no key
        uint32_t eventType;
        uint32_t flags;
        uint8_t frameType;
        uint32_t len;       // 0: no data
    };
    uint32_t requestKey = 0;
    uint32_t len = 0;
    uint64_t serial = 0;    // of the request's data
    bool withData = false;
    std::vector<Step> steps;
    int calls = 0;
};

// Everything one input's run shares with its plugins.
class World {
public:
    explicit World(TestHost &core) : core(core) {}

    // Posts through the core's entry and checks the answer with the model;
    // an accepted event of ours is expected at every plugin it matches.
    int32_t post(_EventParmsIn in, bool readThread = false);
    uint64_t newSerial();
    // A plugin gives up a block it kept (checked first), or any pointer.
    void releaseKept(FakePlugin &plugin, size_t index);
    void release(uint32_t providerID, void *data);
    // A plugin releases what it does not hold: a block it released before,
    // one another plugin keeps, the middle of `current`, its own memory, null.
    void releaseForeign(FakePlugin &plugin, uint8_t variant, void *current = nullptr,
                        uint32_t len = 0);

    void openGate();
    void closeGate();
    void passGate();
    // Delivers everything queued: two markers in turn through the sentinel.
    void deliverAll();
    // The sentinel took a marker with `behind` events queued after it.
    void markerSeen(uint64_t serial, size_t behind);
    // Every plugin got exactly what it was expected to get.
    void checkDeliveries();

    TestHost &core;
    EntryModel model;
    FakePlugin plugins[kPlugins];
    ReadJob readJob;
    std::mutex mutex;  // the plugins' records and `posted`
    std::unordered_map<uint64_t, _EventParmsIn> posted;  // accepted events, by serial

private:
    void expectDeliveries(const _EventParmsIn &in);

    std::atomic<uint64_t> serials{0};
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
    uint64_t lastMarker = 0;
    size_t behindMarker = 0;
};

// The live world of the current input.
extern World *world;

// Entry points, one set per plugin (the records do not say whose call it is).
DvrWriteFn fakeWrite(int plugin);
DvrIoctlFn fakeIoctl(int plugin);
int fakeRead(const _ReadParmsIn *in, _ReadParmsOut *out);
