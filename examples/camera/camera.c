/*
 * camera - an example plugin: a synthetic camera.
 *
 * On the worker thread the core gives it (IOCTL_RUN_WORKER) it produces a
 * video frame every 40 ms (25 fps), a key frame every 25 frames, and one
 * audio frame (40 ms of 8 kHz 16-bit mono) with each video frame, and posts
 * them through the core's event entry. Frames carry DVR_FLAG_FLOW_CONTROL,
 * so the core may refuse them (no key frame yet, too many dependent frames,
 * memory throttling); the camera logs each change of the answer it gets.
 * Close wakes the worker, which returns at once.
 *
 * It also answers the parent. Each of these commands gets a packet back with
 * command CAMERA_STATUS_REPLY (0x101), the same target and tag, and the frame
 * counts as text, ending in "running" or "stopped":
 *   CAMERA_STATUS_REQUEST (0x100)  only the status;
 *   CAMERA_STOP (0x102)            stop making frames: the worker sleeps on its
 *                                  condition variable, with no timeout, until
 *                                  it is started again or closed;
 *   CAMERA_START (0x103)           make frames again, beginning with a key
 *                                  frame.
 * Try `dvrparent -p 0x05000000:0x102 ...` (target 0x05000000 is the camera).
 *
 * Written only against include/plugin/, as any third-party plugin would be.
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "plugin/dvrplugin_entry.h"
#include "plugin/dvrplugin_helpers.h"

#define CAMERA_ID        0x00500000u
#define FRAME_INTERVAL_NS 40000000L /* 25 fps */
#define KEY_FRAME_EVERY  25
#define KEY_FRAME_BYTES  8192
#define DELTA_FRAME_BYTES 2048
#define AUDIO_FRAME_BYTES 640
#define CAMERA_STATUS_REQUEST 0x100u
#define CAMERA_STATUS_REPLY   0x101u
#define CAMERA_STOP           0x102u
#define CAMERA_START          0x103u

/* What the frames carry at their start; the rest is filler. */
struct frame_header {
    char     magic[4];   /* "VID0" or "AUD0" */
    uint32_t sequence;
    uint32_t timestamp_ms;
};

static DvrEventEntry core_entry;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;
static int closing;
static int running; /* cleared by CAMERA_STOP, set by CAMERA_START */

/* Frame counts, guarded by lock: the worker publishes them once per frame. */
struct camera_stats {
    uint32_t frames, sent, keys, refused, audio_sent;
};
static struct camera_stats stats;

/* Logs through the core (dvrplugin_helpers.h): camera_log(level, format, ...). */
#define camera_log(...) dvr_log(core_entry, CAMERA_ID, __VA_ARGS__)

static const char *result_name(int result)
{
    switch (result) {
    case DVR_RESULT_OK: return "accepted";
    case DVR_RESULT_REFUSED: return "refused, the core is stopping";
    case DVR_RESULT_NO_MEMORY: return "refused, the core has no memory for a copy";
    case DVR_RESULT_NO_KEY_FRAME: return "refused, waiting for a key frame";
    case DVR_RESULT_TOO_MANY_DEPENDENT: return "refused, too many frames since the key frame";
    case DVR_RESULT_THROTTLED: return "dropped, memory throttling";
    default: return "unknown result";
    }
}

/* Posts one frame; the core copies the data before it returns. */
static int post_frame(uint32_t type, uint8_t frame_type, void *data, uint32_t len)
{
    _EventParmsIn in = dvr_event_in(CAMERA_ID, type, DVR_FLAG_FLOW_CONTROL);

    in.frameType = frame_type;
    in.data = data;
    in.len = len;
    return dvr_post(core_entry, &in);
}

static void fill(unsigned char *buffer, uint32_t len, const char *magic, uint32_t sequence,
                 uint32_t timestamp_ms)
{
    struct frame_header header;
    uint32_t i;

    memcpy(header.magic, magic, 4);
    header.sequence = sequence;
    header.timestamp_ms = timestamp_ms;
    for (i = 0; i < len; ++i)
        buffer[i] = (unsigned char)(sequence + i);
    memcpy(buffer, &header, sizeof header);
}

static void add_ns(struct timespec *t, long ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        t->tv_sec += 1;
    }
}

/*
 * Called with lock held, after a frame: returns once the next frame is due,
 * or once the camera is closing (then closing is set). While the camera is
 * stopped it sleeps without a timeout; the command that starts it again, or
 * Close, wakes it. After such a pause *restarted is set and the frame clock
 * begins again from now, so no frames are made up for the time stopped.
 */
static void wait_for_next_frame(struct timespec *next, int *restarted)
{
    int paused = 0;

    *restarted = 0;
    while (!closing) {
        if (!running) {
            paused = 1;
            pthread_cond_wait(&wake, &lock);
        } else if (paused) {
            clock_gettime(CLOCK_MONOTONIC, next);
            *restarted = 1;
            return;
        } else if (pthread_cond_timedwait(&wake, &lock, next) != 0) {
            return; /* the frame is due */
        }
    }
}

/* The worker: runs until Close. */
static void run_camera(void)
{
    static unsigned char video[KEY_FRAME_BYTES];
    static unsigned char audio[AUDIO_FRAME_BYTES];
    struct timespec next;
    uint32_t frame = 0, sent = 0, keys = 0, refused = 0, audio_sent = 0;
    uint32_t since_key = 0; /* frames since the last key frame */
    int last_result = DVR_RESULT_OK, restarted = 0;

    camera_log(25, "camera started: 25 fps, a key frame every %d frames", KEY_FRAME_EVERY);
    clock_gettime(CLOCK_MONOTONIC, &next);
    pthread_mutex_lock(&lock);
    wait_for_next_frame(&next, &restarted);
    while (!closing) {
        const int key = since_key == 0;
        const uint32_t ms = frame * 40;
        const uint32_t len = key ? KEY_FRAME_BYTES : DELTA_FRAME_BYTES;
        int result;

        pthread_mutex_unlock(&lock);
        fill(video, len, "VID0", frame, ms);
        result = post_frame(DVR_EVENT_VIDEO_FRAME, key ? DVR_FRAME_KEY : 0, video, len);
        if (result == DVR_RESULT_OK) {
            ++sent;
            keys += key;
        } else {
            ++refused;
        }
        if (result != last_result)
            camera_log(50, "video frame %u %s (result %d)", frame, result_name(result), result);
        last_result = result;
        fill(audio, sizeof audio, "AUD0", frame, ms);
        if (post_frame(DVR_EVENT_AUDIO_FRAME, 0, audio, sizeof audio) == DVR_RESULT_OK)
            ++audio_sent;
        ++frame;
        since_key = (since_key + 1) % KEY_FRAME_EVERY;
        if (frame % 250 == 0)
            camera_log(25, "camera: %u video frames sent (%u key), %u refused, %u audio frames",
                       sent, keys, refused, audio_sent);

        add_ns(&next, FRAME_INTERVAL_NS);
        pthread_mutex_lock(&lock);
        stats.frames = frame;
        stats.sent = sent;
        stats.keys = keys;
        stats.refused = refused;
        stats.audio_sent = audio_sent;
        wait_for_next_frame(&next, &restarted);
        if (restarted)
            since_key = 0; /* a decoder needs a key frame after the gap */
    }
    pthread_mutex_unlock(&lock);
    camera_log(25, "camera stopped after %u frames: %u video frames sent (%u key), %u refused",
               frame, sent, keys, refused);
}

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    pthread_condattr_t attributes;

    core_entry = in->eventEntry;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attributes);
    pthread_condattr_destroy(&attributes);
    closing = 0;
    running = 1;
    memset(&stats, 0, sizeof stats);

    out->pluginId = CAMERA_ID;
    out->wantWorkerThread = 1; /* frames are made on the core's worker thread */
    out->writable = 0;         /* the camera receives no events */
    out->defaultLogLevel = 25;
    return 0;
}

/*
 * Applies a stop or start command (anything else changes nothing); returns
 * whether the camera is running now. Only a change wakes the worker and is
 * logged.
 */
static int apply_command(uint32_t command)
{
    int was_running, now_running;

    pthread_mutex_lock(&lock);
    was_running = running;
    if (command == CAMERA_STOP || command == CAMERA_START)
        running = command == CAMERA_START;
    now_running = running;
    if (now_running != was_running)
        pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    if (now_running != was_running)
        camera_log(25, now_running ? "camera started again by the parent"
                                   : "camera stopped by the parent");
    return now_running;
}

/*
 * A packet from the parent: answers the status request and the stop and start
 * commands with the status, ignores the rest.
 */
static void answer_parent(const unsigned char *packet, uint32_t length)
{
    _IpcPacketHeader header;
    struct camera_stats now;
    char reply[DVR_IPC_HEADER_SIZE + 160];
    int text, is_running;

    if (length < sizeof header)
        return;
    memcpy(&header, packet, sizeof header);
    if (header.command != CAMERA_STATUS_REQUEST && header.command != CAMERA_STOP &&
        header.command != CAMERA_START)
        return;
    is_running = apply_command(header.command);
    pthread_mutex_lock(&lock);
    now = stats;
    pthread_mutex_unlock(&lock);
    text = snprintf(reply + sizeof header, sizeof reply - sizeof header,
                    "camera: %u video frames sent (%u key), %u refused, %u audio frames, %s",
                    now.sent, now.keys, now.refused, now.audio_sent,
                    is_running ? "running" : "stopped");
    header.length = (uint32_t)(sizeof header + text);
    header.command = CAMERA_STATUS_REPLY;
    memcpy(reply, &header, sizeof header);
    dvr_send_to_parent(core_entry, CAMERA_ID, reply, header.length);
}

int IOCTL(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    (void)out;
    if (in->code == IOCTL_RUN_WORKER)
        run_camera();
    else if (in->code == IOCTL_IPC)
        answer_parent(in->data, in->length);
    return 0; /* configuration documents: nothing to do */
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

int Unload(const _UnloadParmsIn *in, _UnloadParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&wake); /* the worker has returned: the core joined it */
    return 0;
}
