#include "fake_plugins.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"

World *world = nullptr;

namespace {

constexpr uint32_t kMagic = 0x7A6E7546;
constexpr size_t kStaleKept = 8;

uint8_t filler(uint64_t serial, size_t i)
{
    return static_cast<uint8_t>(serial * 131 + i * 7 + (i >> 9));
}

}  // namespace

void touch(const void *data, uint32_t len)
{
    const volatile uint8_t *bytes = static_cast<const uint8_t *>(data);
    uint8_t sum = 0;
    for (uint32_t i = 0; data && i < len; ++i)
        sum += bytes[i];
    (void)sum;
}

Tag tagOf(const uint8_t (&reserved3)[133])
{
    Tag tag;
    uint32_t magic;
    std::memcpy(&tag.serial, reserved3, 8);
    std::memcpy(&magic, reserved3 + 8, 4);
    tag.kind = static_cast<Kind>(reserved3[12]);
    tag.valid = magic == kMagic;
    return tag;
}

void setTag(_EventParmsIn &in, uint64_t serial, Kind kind)
{
    for (size_t i = 0; i < sizeof in.reserved1; ++i)
        in.reserved1[i] = filler(serial, i + 1000);
    for (size_t i = 0; i < sizeof in.reserved2; ++i)
        in.reserved2[i] = filler(serial, i + 2000);
    for (size_t i = 13; i < sizeof in.reserved3; ++i)
        in.reserved3[i] = filler(serial, i + 3000);
    std::memcpy(in.reserved3, &serial, 8);
    std::memcpy(in.reserved3 + 8, &kMagic, 4);
    in.reserved3[12] = static_cast<uint8_t>(kind);
}

void fillData(uint8_t *data, uint32_t len, uint64_t serial)
{
    for (uint32_t i = 0; i < len; ++i)
        data[i] = i < 8 ? static_cast<uint8_t>(serial >> (8 * i)) : filler(serial, i);
}

bool dataIntact(const uint8_t *data, uint32_t len, uint64_t serial)
{
    for (uint32_t i = 0; i < len; ++i)
        if (data[i] != (i < 8 ? static_cast<uint8_t>(serial >> (8 * i)) : filler(serial, i)))
            return false;
    return true;
}

// --- the world ----------------------------------------------------------------

uint64_t World::newSerial()
{
    return ++serials;
}

int32_t World::post(_EventParmsIn in, bool readThread)
{
    const EntryModel::Answer expected = model.expect(in, readThread);
    const Tag tag = tagOf(in.reserved3);
    if (expected.queued && tag.valid && tag.kind != Kind::Marker) {
        // Before the post: a read thread's answer may be delivered at once.
        std::lock_guard<std::mutex> lock(mutex);
        posted[tag.serial] = in;
        expectDeliveries(in);
    }
    _EventParmsOut out{sizeof out, DVR_EVENT_PARMS_VERSION, EntryModel::kUntouched};
    TestBus::entry(&in, &out);
    if (out.result != expected.result) {
        std::fprintf(stderr,
                     "event type 0x%x flags 0x%x provider 0x%x key %u level %d frame %u len %u "
                     "data %p%s: result %d, expected %d\n",
                     in.eventType, in.flags, in.providerID, in.requestKey, in.level, in.frameType,
                     in.len, in.data, readThread ? " (read thread)" : "", out.result,
                     expected.result);
        fuzzCheck(false, "the entry answers as the interface says");
    }
    return out.result;
}

void World::expectDeliveries(const _EventParmsIn &in)
{
    const bool config = (in.eventType & DVR_EVENT_CONFIG) != 0;
    const uint32_t match = DVR_MATCH_VALUE(in.flags);
    for (FakePlugin &plugin : plugins) {
        if (config && plugin.id != in.providerID)
            plugin.expectedIoctls += plugin.hasIoctl;
        else if (plugin.writable && kindsMatch(in.eventType, plugin.subscribe, match))
            plugin.expectedWrites.push_back(tagOf(in.reserved3).serial);
    }
}

void World::checkDeliveries()
{
    std::lock_guard<std::mutex> lock(mutex);
    for (FakePlugin &plugin : plugins) {
        std::sort(plugin.written.begin(), plugin.written.end());
        std::sort(plugin.expectedWrites.begin(), plugin.expectedWrites.end());
        fuzzCheck(plugin.written == plugin.expectedWrites,
                  "each accepted event reaches exactly the plugins it matches, once");
        fuzzCheck(plugin.ioctls == plugin.expectedIoctls,
                  "each configuration document reaches every other plugin's IOCTL once");
        plugin.written.clear();
        plugin.expectedWrites.clear();
        plugin.ioctls = plugin.expectedIoctls = 0;
    }
}

void World::release(uint32_t providerID, void *data)
{
    _EventParmsIn in = dvr_event_in(providerID, DVR_EVENT_RELEASE, 0);
    in.data = data;
    post(in);
}

void World::releaseKept(FakePlugin &plugin, size_t index)
{
    const Kept kept = plugin.kept[index];
    plugin.kept.erase(plugin.kept.begin() + index);
    if (kept.serial)
        fuzzCheck(dataIntact(static_cast<uint8_t *>(kept.data), kept.len, kept.serial),
                  "a kept block stays as it was until its holder releases it");
    else
        touch(kept.data, kept.len);
    if (plugin.stale.size() == kStaleKept)
        plugin.stale.erase(plugin.stale.begin());
    plugin.stale.push_back(kept.data);
    release(plugin.id, kept.data);
}

// Releases of what the plugin does not hold: a block it released before, a
// block another plugin keeps, the middle of a block, memory of its own, null.
void World::releaseForeign(FakePlugin &self, uint8_t variant, void *current, uint32_t len)
{
    static char own[16];
    auto holds = [&](void *data) {
        for (const Kept &kept : self.kept)
            if (kept.data == data)
                return true;
        return false;
    };
    void *pointer = nullptr;
    switch (variant % 5) {
    case 0:
        if (!self.stale.empty())
            pointer = self.stale[variant % self.stale.size()];
        break;
    case 1:
        for (const FakePlugin &other : plugins)
            if (&other != &self && !other.kept.empty())
                pointer = other.kept.back().data;
        break;
    case 2:
        if (current && len > 1)
            pointer = static_cast<uint8_t *>(current) + 1;
        break;
    case 3: pointer = own; break;
    default: break;
    }
    if (!holds(pointer))
        release(self.id, pointer);
}

void World::openGate()
{
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = true;
    gateChanged.notify_all();
}

void World::closeGate()
{
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = false;
}

void World::passGate()
{
    std::unique_lock<std::mutex> lock(gateMutex);
    gateChanged.wait(lock, [this] { return gateOpen; });
}

void World::markerSeen(uint64_t serial, size_t behind)
{
    std::lock_guard<std::mutex> lock(gateMutex);
    lastMarker = serial;
    behindMarker = behind;
    gateChanged.notify_all();
}

void World::deliverAll()
{
    // The first marker follows everything posted so far, the next ones what
    // was posted while the one before was on its way (plugins' events, the
    // core's log lines about them). When the sentinel, the last plugin, takes
    // a marker with nothing queued behind it, the bus is at rest; a few
    // rounds must get it there. Markers are log events without a message,
    // which no write timing reports on.
    constexpr int kRounds = 8;
    openGate();
    for (int round = 1;; ++round) {
        _EventParmsIn marker = dvr_event_in(kMarkerProvider, DVR_EVENT_LOG, 0);
        const uint64_t serial = newSerial();
        setTag(marker, serial, Kind::Marker);
        fuzzCheck(post(marker) == DVR_RESULT_OK, "a marker is accepted");
        std::unique_lock<std::mutex> lock(gateMutex);
        gateChanged.wait(lock, [&] { return lastMarker == serial; });
        if (behindMarker == 0)
            break;
        fuzzCheck(round < kRounds, "the bus comes to rest: events do not feed on themselves");
    }
    closeGate();
    checkDeliveries();
}
