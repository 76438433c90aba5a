/*
 * recorder - an example plugin: records every video and audio frame.
 *
 * It subscribes to video (0x1) and audio (0x2) frames of every provider and
 * appends each to "recording.dvr" in the core's working directory (rewritten
 * at each start): a record header (event type, frame type, provider, length)
 * followed by the frame's bytes. It logs running counts every 250 video
 * frames and a summary at Close.
 *
 * Write is called on the core's delivery thread, one event at a time; the
 * data block is shared with every other receiver and valid during the call
 * only (the recorder does not set keep).
 *
 * Written only against include/plugin/, as any third-party plugin would be.
 */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "plugin/dvrplugin_entry.h"
#include "plugin/dvrplugin_helpers.h"

#define RECORDER_ID 0x00510000u
#define RECORDING_FILE "recording.dvr"

struct record_header {
    uint32_t event_type;
    uint32_t provider;
    uint32_t length;
    uint8_t  frame_type;
    uint8_t  pad[3];
};

static DvrEventEntry core_entry;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static FILE *recording;
static uint32_t video_frames, key_frames, audio_frames, failed;
static unsigned long long bytes_written;

/* Logs through the core (dvrplugin_helpers.h): recorder_log(level, format, ...). */
#define recorder_log(...) dvr_log(core_entry, RECORDER_ID, __VA_ARGS__)

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    core_entry = in->eventEntry;
    out->pluginId = RECORDER_ID;
    /* Every flag combination of the two frame kinds. */
    out->subscribe[DVR_SUBSCRIBE_0x1] = 0xFFFFFFFFu;
    out->subscribe[DVR_SUBSCRIBE_0x2] = 0xFFFFFFFFu;
    out->writable = 1;
    out->defaultLogLevel = 25;
    return 0;
}

int Open(const _OpenParmsIn *in, _OpenParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    recording = fopen(RECORDING_FILE, "wb");
    video_frames = key_frames = audio_frames = failed = 0;
    bytes_written = 0;
    pthread_mutex_unlock(&lock);
    if (!recording) {
        recorder_log(75, "recorder: cannot open %s", RECORDING_FILE);
        return -1; /* reported in the core's status; the core runs on */
    }
    recorder_log(25, "recorder: recording to %s", RECORDING_FILE);
    return 0;
}

int Write(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    struct record_header header;
    int report = 0;

    if (!(in->eventType & (DVR_EVENT_VIDEO_FRAME | DVR_EVENT_AUDIO_FRAME)) || !in->data)
        return 0;
    memset(&header, 0, sizeof header);
    header.event_type = in->eventType;
    header.provider = in->providerID;
    header.length = in->len;
    header.frame_type = in->frameType;

    pthread_mutex_lock(&lock);
    if (recording && fwrite(&header, sizeof header, 1, recording) == 1 &&
        fwrite(in->data, 1, in->len, recording) == in->len) {
        bytes_written += sizeof header + in->len;
        if (in->eventType & DVR_EVENT_VIDEO_FRAME) {
            ++video_frames;
            key_frames += in->frameType == DVR_FRAME_KEY;
            report = video_frames % 250 == 0;
        } else {
            ++audio_frames;
        }
    } else {
        ++failed;
        out->error = 1; /* the core logs "plugin recorder.so write returned 0 error 1" */
    }
    pthread_mutex_unlock(&lock);

    if (report)
        recorder_log(25, "recorder: %u video frames (%u key), %u audio frames, %llu bytes",
                     video_frames, key_frames, audio_frames, bytes_written);
    return 0;
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    if (recording)
        fclose(recording);
    recording = NULL;
    pthread_mutex_unlock(&lock);
    recorder_log(25, "recorder: closed %s: %u video frames (%u key), %u audio frames, %llu bytes",
                 RECORDING_FILE, video_frames, key_frames, audio_frames, bytes_written);
    return 0;
}
