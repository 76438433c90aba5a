// The recorder load, both sides of the bus. Per camera: 30 video frames a
// second, a key frame every 30 of 200 KiB and those between of 20-60 KiB (a
// fixed pseudo-random sequence), and 50 audio packets a second of 320 bytes,
// each stream at its own fixed phase; frames carry the flow-control flag and
// each camera starts with a key frame, so none is refused. Camera c is served
// by producer thread c % producers, which fills each frame outside the timed
// post() and posts it at an absolute deadline; producer 0 adds 100 log lines
// a second (level 25). Four plugins take the events, each Write measured on
// the delivery thread:
//   recorder   video and audio: reads the frame header, adds an index entry
//   motion     video: samples 16 bytes spread over the frame
//   log sink   log events: measures the text
//   live view  video: keeps one block in ten, released 5 ms later by a
//              sender thread, as a streaming plugin would
// and a real plugin file loaded beside them (--plugin).
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <utility>

#include "recorder_load.h"

namespace recorder_load {

namespace {

constexpr uint32_t kCameraBaseId = 0x00300000u, kLogSourceId = 0x00400000u;
constexpr uint32_t kVideoRate = 30, kKeyFrameEvery = 30, kAudioRate = 50, kLogRate = 100;
constexpr uint32_t kKeyFrameBytes = 200 * 1024, kAudioBytes = 320;
constexpr uint32_t kDeltaMinBytes = 20 * 1024, kDeltaMaxBytes = 60 * 1024;

// One periodic stream: a camera's video or audio, or the log lines. Event n
// is due at firstNs + n/rate seconds, exactly.
struct Stream {
    EventKind kind;
    uint32_t camera;
    uint32_t rate;
    int64_t firstNs;
    uint64_t next = 0;
    int64_t deadlineNs() const { return firstNs + int64_t(next * 1000000000ull / rate); }
};

struct Producer {
    LoadQueue &bus;
    const Window window;
    ProducerTally &tally;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kKeyFrameBytes);
    char text[96] = {};

    // Builds the stream's next event in this thread's buffer and posts it.
    void post(const Stream &stream)
    {
        if (stream.kind == kLog) {
            std::snprintf(text, sizeof text, "camera %u: motion in zone %u, %u blocks",
                          unsigned(stream.next % 64), unsigned(stream.next % 8),
                          unsigned(mix(stream.next) % 500));
            _EventParmsIn in = dvr_event_in(kLogSourceId, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE);
            in.level = 25;
            in.data = text;
            in.len = uint32_t(std::strlen(text) + 1);
            timedPost(kLog, in);
            return;
        }
        const bool video = stream.kind == kVideo;
        const bool key = video && stream.next % kKeyFrameEvery == 0;
        const uint32_t len =
            !video ? kAudioBytes
            : key  ? kKeyFrameBytes
                   : kDeltaMinBytes + uint32_t(mix((uint64_t(stream.camera) << 32) ^ stream.next) %
                                               (kDeltaMaxBytes - kDeltaMinBytes + 1));
        // The producer's own work, outside the timed post: the frame's bytes.
        std::memset(buffer.data() + sizeof(FrameHeader), int(stream.next & 0xFF),
                    len - sizeof(FrameHeader));
        const FrameHeader header{0, stream.camera, uint32_t(stream.next)};
        std::memcpy(buffer.data(), &header, sizeof header);
        _EventParmsIn in = dvr_event_in(kCameraBaseId | stream.camera,
                                        video ? DVR_EVENT_VIDEO_FRAME : DVR_EVENT_AUDIO_FRAME,
                                        DVR_FLAG_FLOW_CONTROL);
        in.frameType = key ? DVR_FRAME_KEY : 0;
        in.data = buffer.data();
        in.len = len;
        timedPost(stream.kind, in);
    }

    // Stamps the steady clock into the event (frame header, or a log event's
    // reserved1) and posts it, timing the post on this thread's CPU clock.
    void timedPost(EventKind kind, _EventParmsIn &in)
    {
        void *stampAt = kind == kLog ? static_cast<void *>(in.reserved1) : in.data;
        const uint64_t cpuBefore = threadCpuNs();
        const int64_t stamp = nowNs();
        std::memcpy(stampAt, &stamp, sizeof stamp);
        const int32_t result = bus.post(in);
        const uint64_t cpu = threadCpuNs() - cpuBefore;
        if (result == DVR_RESULT_OK)
            ++tally.accepted[kind];
        else
            ++tally.refusals[result];
        if (window.contains(stamp)) {
            ++tally.windowEvents;
            tally.windowBytes += in.len;
            tally.windowPostCpuNs += cpu;
        }
    }
};

constexpr uint32_t kRecorderId = 0x00100000u, kMotionId = 0x00110000u, kLogSinkId = 0x00120000u;
constexpr auto kLiveViewHold = std::chrono::milliseconds(5);
constexpr uint64_t kKeepEvery = 10;
LoadPlugins *activePlugins = nullptr;

FrameHeader frameHeader(const _WriteParmsIn &in)
{
    FrameHeader header{};
    if (in.eventType & DVR_EVENT_LOG)
        std::memcpy(&header.postStampNs, in.reserved1, sizeof header.postStampNs);
    else if (in.data && in.len >= sizeof header)
        std::memcpy(&header, in.data, sizeof header);
    return header;
}

// Every Write runs its body through this: it reads the steady clock (no
// system call, and the thread is rarely switched out in a Write this short),
// counts the Write, and for a window event records its latency from the stamp
// the producer took just before post(), and the time inside the body.
template <class Body>
int measured(WriteTally &tally, const _WriteParmsIn &in, Body body)
{
    const int64_t start = nowNs();
    ++tally.writes;
    const FrameHeader header = frameHeader(in);
    const bool inWindow = activePlugins->window.contains(header.postStampNs);
    if (inWindow)
        tally.latency.record(start - header.postStampNs);
    const int result = body(*activePlugins, header);
    if (inWindow)
        tally.insideNs += uint64_t(nowNs() - start);
    return result;
}

int recorderWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    return measured(activePlugins->tallies[kRecorder], *in, [in](LoadPlugins &p, FrameHeader h) {
        p.recordingIndex[p.recordedFrames++ % p.recordingIndex.size()] = {h.camera, h.sequence,
                                                                          in->len, in->frameType};
        p.recordedBytes += in->len;
        return 0;
    });
}

int motionWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    return measured(activePlugins->tallies[kMotion], *in, [in](LoadPlugins &p, FrameHeader h) {
        if (in->len <= sizeof h)
            return 0;
        const auto *bytes = static_cast<const uint8_t *>(in->data);
        uint32_t sum = 0;
        for (uint32_t i = 0; i < 16; ++i)
            sum += bytes[sizeof h + uint64_t(in->len - sizeof h) * i / 16];
        p.motionActivity[h.camera % p.motionActivity.size()] = sum;
        return 0;
    });
}

int logSinkWrite(const _WriteParmsIn *in, _WriteParmsOut *)
{
    return measured(activePlugins->tallies[kLogSink], *in, [in](LoadPlugins &p, FrameHeader) {
        if (in->data)
            p.logBytes += strnlen(static_cast<const char *>(in->data), in->len);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return 0;
    });
}

int liveViewWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    return measured(activePlugins->tallies[kLiveView], *in, [in, out](LoadPlugins &p, FrameHeader) {
        if (++p.liveFrames % kKeepEvery == 0) {
            out->keep = 1;
            ++p.keptBlocks;
            p.sender.hold(in->data, Clock::now() + kLiveViewHold);
        }
        return 0;
    });
}

int measuredExternalWrite(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    return measured(activePlugins->externalWrites, *in, [in, out](LoadPlugins &p, FrameHeader) {
        const int result = p.externalWrite(in, out);
        if (in->providerID == kEndMarkerId)
            p.sawEndMarker();
        return result;
    });
}

}  // namespace

void runProducer(LoadQueue &bus, uint32_t cameras, uint32_t producers, uint32_t index,
                 int64_t startNs, const Window &window, ProducerTally &tally)
{
    pthread_setname_np(pthread_self(), ("producer-" + std::to_string(index)).c_str());
    std::vector<Stream> streams;
    auto add = [&](EventKind kind, uint32_t camera, uint32_t rate) {
        const int64_t phase = int64_t(mix(uint64_t(camera) * 4 + kind) % (1000000000u / rate));
        streams.push_back({kind, camera, rate, startNs + phase});
    };
    for (uint32_t camera = index; camera < cameras; camera += producers) {
        add(kVideo, camera, kVideoRate);
        add(kAudio, camera, kAudioRate);
    }
    if (index == 0)
        add(kLog, 0, kLogRate);
    // The streams by their next deadline, soonest first.
    using Due = std::pair<int64_t, size_t>;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due;
    for (size_t i = 0; i < streams.size(); ++i)
        due.push({streams[i].deadlineNs(), i});

    Producer producer{bus, window, tally};
    while (!due.empty() && due.top().first < window.endNs) {
        const auto [deadline, i] = due.top();
        due.pop();
        if (deadline > nowNs())  // one fallen behind posts at once, without a system call
            sleepUntilNs(deadline);
        producer.post(streams[i]);
        ++streams[i].next;
        due.push({streams[i].deadlineNs(), i});
    }
}

const char *const kPluginNames[kPluginCount] = {"recorder", "motion", "logsink", "liveview"};

LoadPlugins::LoadPlugins(LoadQueue &bus, const Window &window, uint32_t cameras)
    : sender(bus, window), bus(bus), window(window), motionActivity(cameras)
{
    activePlugins = this;
    bus.addSubscriber(benchSubscriber(kRecorderId, recorderWrite, "recorder.so",
                                      {DVR_SUBSCRIBE_0x1, DVR_SUBSCRIBE_0x2}));
    bus.addSubscriber(benchSubscriber(kMotionId, motionWrite, "motion.so", {DVR_SUBSCRIBE_0x1}));
    bus.addSubscriber(benchSubscriber(kLogSinkId, logSinkWrite, "logsink.so", {DVR_SUBSCRIBE_0x40}));
    bus.addSubscriber(benchSubscriber(kLiveViewId, liveViewWrite, "liveview.so",
                                      {DVR_SUBSCRIBE_0x1}));
}

LoadPlugins::~LoadPlugins() { activePlugins = nullptr; }

void LoadPlugins::addExternal(Subscriber plugin)
{
    externalWrite = std::exchange(plugin.Write, plugin.Write ? measuredExternalWrite : nullptr);
    if (plugin.Write && plugin.writable &&
        subscriptionMatches(plugin.subscribe, DVR_EVENT_LOG, DVR_MATCH_VALUE(DVR_FLAG_LOG_MESSAGE)))
        ++markerReaders;
    bus.addSubscriber(std::move(plugin));
}

void LoadPlugins::sawEndMarker()
{
    std::lock_guard<std::mutex> lock(markerMutex);
    ++markerSightings;
    markerSeen.notify_all();
}

void LoadPlugins::drain()
{
    static const char text[] = "end of run";
    _EventParmsIn marker = dvr_event_in(kEndMarkerId, DVR_EVENT_LOG, DVR_FLAG_LOG_MESSAGE);
    marker.level = 25;
    marker.data = const_cast<char *>(text);
    marker.len = sizeof text;
    bus.post(marker);
    std::unique_lock<std::mutex> lock(markerMutex);
    markerSeen.wait(lock, [this] { return markerSightings == markerReaders; });
}

namespace {

std::atomic<PluginFile *> activeFile{nullptr};

// An entry point taking an empty record in and out; missing: not exported.
template <typename In, typename Out>
int callEntry(int (*entry)(const In *, Out *))
{
    const In in = emptyRecord<In>();
    Out out = emptyRecord<Out>();
    return entry ? entry(&in, &out) : DVR_ENTRY_NOT_EXPORTED;
}

// The plugin's event entry: answers log-level queries with "no threshold" and
// refuses parent packets and requests to the core.
int routeToTarget(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    out = out ? out : &ignored;
    PluginFile *file = activeFile.load();
    if (!in || !file || in->eventType == DVR_EVENT_PARENT_PACKET ||
        in->providerID == DVR_PROVIDER_TO_CORE) {
        if (in && in->eventType == DVR_EVENT_PARENT_PACKET)
            std::free(in->data);
        out->result = DVR_RESULT_REFUSED;
    } else if (in->eventType == DVR_EVENT_RELEASE) {
        file->bus.release(in->data, in->providerID);
    } else if ((in->eventType & DVR_EVENT_LOG) && (in->flags & DVR_FLAG_LOG_QUERY)) {
        out->result = -1;
    } else if ((out->result = file->bus.post(*in)) == DVR_RESULT_OK) {
        file->logPosts += (in->eventType & DVR_EVENT_LOG) != 0;
        file->postsToItself += file->takes(in->eventType, in->flags);
    }
    return 0;
}

}  // namespace

bool PluginFile::open(const std::string &path, LoadPlugins &plugins, std::string &error)
{
    name = path.substr(path.find_last_of('/') + 1);
    library.reset(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char *reason = dlerror();
        error = reason ? reason : path + ": cannot be opened";
        return false;
    }
    auto entry = [this](const char *symbol) { return dlsym(library.get(), symbol); };
    const auto load = reinterpret_cast<DvrLoadFn>(entry("Load"));
    const auto ioctl = reinterpret_cast<DvrIoctlFn>(entry("IOCTL"));
    _LoadParmsIn in = emptyRecord<_LoadParmsIn>(DVR_LOAD_IN_VERSION);
    in.eventEntry = routeToTarget;
    loadOut = emptyRecord<_LoadParmsOut>(DVR_LOAD_OUT_VERSION);
    activeFile = this;
    if (!load || load(&in, &loadOut) != 0 || loadOut.error != 0) {
        error = name + ": not loaded (no Load entry point, or Load refused)";
        return false;
    }
    closeEntry = reinterpret_cast<DvrCloseFn>(entry("Close"));
    unloadEntry = reinterpret_cast<DvrUnloadFn>(entry("Unload"));
    const auto write = reinterpret_cast<DvrWriteFn>(entry("Write"));
    hasWrite = write != nullptr;
    plugins.addExternal(subscriberFrom(loadOut, write, ioctl, name));
    if (loadOut.wantWorkerThread && ioctl)
        worker = std::thread([ioctl] {
            pthread_setname_np(pthread_self(), "plugin worker");
            const _IoctlParmsIn in = ioctlRecord(IOCTL_RUN_WORKER);
            _IoctlParmsOut out = ioctlAnswerPreset(IOCTL_RUN_WORKER);
            ioctl(&in, &out);
        });
    callEntry(reinterpret_cast<DvrOpenFn>(entry("Open")));
    return true;
}

void PluginFile::close()
{
    callEntry(std::exchange(closeEntry, nullptr));
    if (worker.joinable())
        worker.join();
}

PluginFile::~PluginFile()
{
    close();
    callEntry(unloadEntry);
    PluginFile *self = this;
    activeFile.compare_exchange_strong(self, nullptr);
}

bool PluginFile::takes(uint32_t eventType, uint32_t flags) const
{
    return hasWrite && loadOut.writable &&
           subscriptionMatches(loadOut.subscribe, eventType, DVR_MATCH_VALUE(flags));
}

}  // namespace recorder_load
