// The producer threads of the recorder load: camera c is served by producer
// c % producers, which fills each frame outside the timed post() and posts it
// at an absolute deadline; producer 0 adds the log lines (level 25).
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>
#include <string>
#include <vector>

#include "plugin/dvrplugin_helpers.h"
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
    LoadTarget &bus;
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

}  // namespace

void runProducer(LoadTarget &bus, uint32_t cameras, uint32_t producers, uint32_t index,
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

}  // namespace recorder_load
