// The fake plugins' entry points. Each call checks what it was handed against
// what was posted, then does what the plugin's script says for it: keep the
// block, fail, post an event of its own, release a block (its own, one it no
// longer holds, one it never held, one in the middle of a block), post what
// the core must refuse, log.
#include <cstring>

#include "fake_plugins.h"
#include "fuzz_check.h"

namespace {

// One script byte: bits 0-1 keep the block when 0, bit 2 fails the call,
// bits 3-5 pick what else the call does, bits 6-7 vary it.
enum Effect {
    None,
    PostEvent,
    ReleaseKept,
    ReleaseForeign,
    PostRefused,
    ToParent,
    ReleaseNow,
    Log
};

uint8_t nextAction(FakePlugin &plugin)
{
    if (plugin.script.empty())
        return 0x03;  // nothing at all
    return plugin.script[plugin.step++ % plugin.script.size()];
}

// The record handed to Write is the event as it was posted, but for the data,
// which is the core's own copy.
void checkRecord(FakePlugin &plugin, const _WriteParmsIn &in, uint64_t serial)
{
    std::lock_guard<std::mutex> lock(world->mutex);
    const auto it = world->posted.find(serial);
    fuzzCheck(it != world->posted.end(), "only accepted events are delivered");
    const _EventParmsIn &posted = it->second;
    const bool hasData = posted.data && posted.len;
    fuzzCheck(in.size == sizeof in && in.isRead == 0, "a write record");
    fuzzCheck(in.len == (hasData ? posted.len : 0), "length as posted, or 0 without data");
    fuzzCheck(!hasData || (in.data && in.data != posted.data), "data is the core's own copy");
    fuzzCheck(in.providerID == posted.providerID && in.requestKey == posted.requestKey &&
                  in.eventType == posted.eventType && in.flags == posted.flags &&
                  in.level == posted.level && in.frameType == posted.frameType &&
                  std::memcmp(in.reserved1, posted.reserved1, sizeof in.reserved1) == 0 &&
                  std::memcmp(in.reserved2, posted.reserved2, sizeof in.reserved2) == 0 &&
                  std::memcmp(in.reserved3, posted.reserved3, sizeof in.reserved3) == 0,
              "every other field as posted");
    plugin.written.push_back(serial);
}

void postEvent(FakePlugin &self, uint8_t variant, uint64_t cause)
{
    static const uint32_t types[4] = {DVR_EVENT_KIND_0x80, DVR_EVENT_VIDEO_FRAME,
                                      DVR_EVENT_VIDEO_FRAME, DVR_EVENT_AUDIO_FRAME};
    _EventParmsIn in = dvr_event_in(self.id, types[variant % 4],
                                    variant % 4 ? DVR_FLAG_FLOW_CONTROL : 0);
    in.frameType = variant % 4 == 1 ? DVR_FRAME_KEY : 0;
    uint8_t data[300];
    const uint64_t serial = world->newSerial();
    in.len = static_cast<uint32_t>(cause % sizeof data);
    in.data = data;
    fillData(data, in.len, serial);
    setTag(in, serial, Kind::Nested);
    world->post(in);
}

void postRefused(FakePlugin &self, uint8_t variant)
{
    _EventParmsIn in = dvr_event_in(self.id, DVR_EVENT_KIND_0x10, 0);
    if (variant & 1) {  // a request key from outside a read thread
        in.requestKey = 1 + variant;
    } else {            // cancels a request: accepted
        in.providerID = DVR_PROVIDER_TO_CORE;
        in.eventType = DVR_EVENT_CANCEL_REQUEST;
        in.requestKey = variant;
    }
    setTag(in, world->newSerial(), Kind::Nested);
    world->post(in);
}

void toParent(FakePlugin &self, uint64_t cause)
{
    _EventParmsIn in = dvr_event_in(self.id, DVR_EVENT_PARENT_PACKET, 0);
    in.len = static_cast<uint32_t>(1 + cause % 64);
    in.data = std::malloc(in.len);  // passes to the core
    world->post(in);
}

void log(FakePlugin &self, uint8_t variant)
{
    char text[64];
    std::snprintf(text, sizeof text, "plugin %08x says %u", self.id, variant);
    _EventParmsIn in = dvr_event_in(self.id, DVR_EVENT_LOG,
                                    variant & 1 ? DVR_FLAG_LOG_QUERY
                                                : DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE);
    in.level = variant % 4 * 25;
    in.data = text;
    in.len = static_cast<uint32_t>(std::strlen(text) + 1);
    world->post(in);  // untagged: its data is text, not a pattern
}

// What a plugin does besides looking at what it was handed; returns the
// result of its call.
int act(FakePlugin &self, uint8_t action, void *data, uint32_t len, uint64_t serial,
        uint32_t &keep, int32_t &error)
{
    if ((action & 3) == 0 && data) {
        self.kept.push_back({data, len, serial});
        keep = 1;
    }
    const uint8_t variant = action >> 6;
    switch ((action >> 3) & 7) {
    case PostEvent: postEvent(self, variant, serial); break;
    case ReleaseKept:
        if (!self.kept.empty())
            world->releaseKept(self, serial % self.kept.size());
        break;
    case ReleaseForeign: world->releaseForeign(self, variant, data, len); break;
    case PostRefused: postRefused(self, variant); break;
    case ToParent: toParent(self, serial); break;
    case ReleaseNow:  // lets go of the block during the call
        if (data) {
            if (keep) {
                self.kept.pop_back();
                keep = 0;
            }
            world->release(self.id, data);
        }
        break;
    case Log: log(self, variant); break;
    default: break;
    }
    if (action & 4) {
        if (variant & 1)
            error = 7;
        else
            return -1;
    }
    return 0;
}

int pluginWrite(int index, const _WriteParmsIn *in, _WriteParmsOut *out)
{
    world->passGate();
    FakePlugin &self = world->plugins[index];
    fuzzCheck((in->data == nullptr) == (in->len == 0), "data and length agree");
    fuzzCheck(out->keep == 0 && out->error == 0, "answer preset");
    const Tag tag = tagOf(in->reserved3);
    if (!tag.valid) {  // the core's own log lines: kept or failed like any other
        touch(in->data, in->len);
        if (index == kSentinel)
            return 0;
        return act(self, nextAction(self) & 0x07, in->data, in->len, 0, out->keep, out->error);
    }
    if (tag.kind == Kind::Marker) {
        if (index == kSentinel)
            world->markerSeen(tag.serial, world->core.queued());
        return 0;
    }
    checkRecord(self, *in, tag.serial);
    if (in->data)
        fuzzCheck(dataIntact(static_cast<const uint8_t *>(in->data), in->len, tag.serial),
                  "delivered data as posted");
    // A read thread's next answer waits until this one is released: no plugin
    // keeps answers.
    if (index == kSentinel || tag.kind == Kind::Answer)
        return 0;
    uint8_t action = nextAction(self);
    if (tag.kind == Kind::Nested)
        action &= 0x07;  // keeps or fails, posts nothing
    return act(self, action, in->data, in->len, tag.serial, out->keep, out->error);
}

// Configuration documents. The record carries no serial; the data does.
int pluginIoctl(int index, const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    world->passGate();
    FakePlugin &self = world->plugins[index];
    fuzzCheck(in->code == IOCTL_UPDATE_CONFIG && out->keep == 0, "a configuration record");
    fuzzCheck((in->data == nullptr) == (in->length == 0), "data and length agree");
    uint64_t serial = 0;
    if (in->data && in->length >= 8) {
        std::memcpy(&serial, in->data, 8);
        std::lock_guard<std::mutex> lock(world->mutex);
        const auto it = world->posted.find(serial);
        if (it == world->posted.end() || it->second.len != in->length)
            serial = 0;
    }
    if (serial)
        fuzzCheck(dataIntact(static_cast<const uint8_t *>(in->data), in->length, serial),
                  "configuration data as posted");
    else
        touch(in->data, in->length);
    {
        std::lock_guard<std::mutex> lock(world->mutex);
        ++self.ioctls;
    }
    if (index == kSentinel)
        return 0;
    int32_t error = 0;
    const int result = act(self, nextAction(self) & 0x07, in->data, in->length, serial, out->keep,
                           error);
    out->error = error;
    return result;
}

template <int N>
int write(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    return pluginWrite(N, in, out);
}

template <int N>
int ioctl(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    return pluginIoctl(N, in, out);
}

void answer(const ReadJob &job, const ReadJob::Step &step)
{
    _EventParmsIn in = dvr_event_in(kPluginIds[kReader], step.eventType, step.flags);
    const uint32_t keys[3] = {job.requestKey, job.requestKey + 1, 0};
    in.requestKey = keys[step.keyChoice];
    in.frameType = step.frameType;
    uint8_t data[512];
    const uint64_t serial = world->newSerial();
    in.len = step.len % sizeof data;
    in.data = data;
    fillData(data, in.len, serial);
    setTag(in, serial, Kind::Answer);
    world->post(in, true);
}

}  // namespace

DvrWriteFn fakeWrite(int plugin)
{
    static const DvrWriteFn writes[kPlugins] = {write<0>, write<1>, write<2>, write<3>,
                                                write<4>, write<5>, write<6>, write<7>};
    return writes[plugin];
}

DvrIoctlFn fakeIoctl(int plugin)
{
    static const DvrIoctlFn ioctls[kPlugins] = {ioctl<0>, ioctl<1>, ioctl<2>, ioctl<3>,
                                                ioctl<4>, ioctl<5>, ioctl<6>, ioctl<7>};
    return ioctls[plugin];
}

// The reader: checks its request, then answers and cancels as its job says.
int fakeRead(const _ReadParmsIn *in, _ReadParmsOut *)
{
    ReadJob &job = world->readJob;
    ++job.calls;
    fuzzCheck(in->isRead == 1 && in->requestKey == job.requestKey && in->len == job.len,
              "a read record with the request's key and length");
    if (job.withData)
        fuzzCheck(in->data &&
                      dataIntact(static_cast<const uint8_t *>(in->data), in->len, job.serial),
                  "the reader's own copy of the request data");
    else
        fuzzCheck(in->data == nullptr, "no data without request data");
    for (const ReadJob::Step &step : job.steps) {
        if (step.cancel) {
            _EventParmsIn cancel = dvr_event_in(DVR_PROVIDER_TO_CORE, DVR_EVENT_CANCEL_REQUEST, 0);
            cancel.requestKey = job.requestKey;
            world->post(cancel, true);
        } else {
            answer(job, step);
        }
    }
    return 0;
}
