/*
 * soak_actions.c - the hostile acts of the soak plugin: which act comes
 * next, and random events and frames (releases: soak_releases.c; read
 * requests and parent packets: soak_requests.c).
 *
 * Every act goes through the event entry the core handed over at Load and
 * stays inside what the interface allows the plugin to do with its own
 * memory: data pointers point into the plugin's pattern with a length no
 * longer than what is left of it, or are null with any length; a parent
 * packet is a malloc'ed buffer of exactly its length (or null). The core
 * sees everything else the plugin can make up: sizes, versions, types,
 * flags, provider IDs, request keys, levels, and pointers to release that
 * were never blocks, are no longer blocks, or are someone else's.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin/dvrplugin_helpers.h"
#include "soak_plugin.h"

static const uint32_t soak_ids[SOAK_PLUGINS] = {SOAK_ID_0, SOAK_ID_1, SOAK_ID_2, SOAK_ID_3};
const uint32_t soak_kinds[10] = {0x1, 0x2, 0x4, 0x8, 0x10, 0x20, 0x40, 0x80, 0x100, 0x400};

uint32_t soak_touch(const void *data, uint32_t len)
{
    const volatile unsigned char *bytes = data;
    uint32_t sum = bytes[0] + bytes[len - 1];
    uint32_t i;

    for (i = 0; i < len; i += 4096)
        sum += bytes[i];
    return sum;
}

uint32_t soak_other_id(struct soak_rng *r)
{
    return soak_ids[soak_below(r, sizeof soak_ids / sizeof soak_ids[0])];
}

/* Event lengths from none to 1 MiB, most of them small. */
static uint32_t random_len(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 1000);

    if (soak.fast)
        return pick < 300 ? 0 : soak_below(r, 65);
    if (pick < 300)
        return 0;
    if (pick < 700)
        return 1 + soak_below(r, 64);
    if (pick < 900)
        return 65 + soak_below(r, 4032);
    if (pick < 990)
        return 4097 + soak_below(r, 61440);
    if (pick < 999)
        return 65537 + soak_below(r, 196608);
    return 262145 + soak_below(r, SOAK_PATTERN_BYTES - 262145);
}

/* Data and length as the core may be shown them: a piece of the pattern and
 * its length, no data with a nonsense length, or data with length 0. */
void soak_random_data(struct soak_rng *r, _EventParmsIn *in, uint32_t max_len)
{
    const uint32_t pick = soak_below(r, 100);
    uint32_t len = random_len(r);

    if (len > max_len)
        len = soak_below(r, max_len + 1);
    if (pick < 4) {
        in->data = NULL;
        in->len = (uint32_t)soak_next(r);
    } else if (pick < 7) {
        in->data = soak.pattern + soak_below(r, SOAK_PATTERN_BYTES);
        in->len = 0;
    } else {
        in->data = soak.pattern + soak_below(r, SOAK_PATTERN_BYTES - len + 1);
        in->len = len;
    }
}

/* True at most once an interval, across the plugin's threads. */
int soak_due(atomic_uint_fast64_t *next_ns, uint64_t interval_ns)
{
    struct timespec now;
    uint64_t ns, due;

    clock_gettime(CLOCK_MONOTONIC, &now);
    ns = (uint64_t)now.tv_sec * 1000000000ull + (uint64_t)now.tv_nsec;
    due = atomic_load(next_ns);
    return ns >= due && atomic_compare_exchange_strong(next_ns, &due, ns + interval_ns);
}

int soak_document_due(void)
{
    static atomic_uint_fast64_t next_ns;
    return soak_due(&next_ns, 20000000ull);
}

uint32_t soak_random_type(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 100);
    uint32_t type;

    if (pick < 60)
        type = soak_kinds[soak_below(r, 10)];
    else if (pick < 80)
        type = soak_kinds[soak_below(r, 10)] | soak_kinds[soak_below(r, 10)];
    else if (pick < 90)
        type = soak_below(r, 0x10000);
    else
        type = (uint32_t)soak_next(r);
    if ((type & DVR_EVENT_CONFIG) && (soak.fast || !soak_document_due()))
        type &= ~DVR_EVENT_CONFIG;
    /* Releases, cancellations and parent packets have acts of their own: a
     * parent packet's data must be a malloc'ed buffer. */
    if (type == DVR_EVENT_RELEASE || type == DVR_EVENT_CANCEL_REQUEST ||
        type == DVR_EVENT_PARENT_PACKET)
        type = DVR_EVENT_KIND_0x8;
    return type;
}

uint32_t soak_random_flags(struct soak_rng *r)
{
    switch (soak_below(r, 10)) {
    case 0: case 1: case 2: return 0;
    case 3: case 4: return DVR_FLAG_FLOW_CONTROL;
    case 5: return DVR_FLAG_FLOW_CONTROL | DVR_FLAG_XML;
    case 6: return DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE;
    case 7: return DVR_FLAG_LOG_QUERY | (uint32_t)soak_below(r, 2) * DVR_FLAG_LOG_MESSAGE;
    default: return (uint32_t)soak_next(r);
    }
}

/* Log levels: most below the soak plugins' thresholds (90..99), some at or
 * above, a few anywhere; never exactly 100, which would go to syslog. */
static int32_t random_level(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 100);
    int32_t level;

    if (pick < 97)
        level = (int32_t)soak_below(r, 90);
    else if (pick < 99)
        level = 90 + (int32_t)soak_below(r, 10);
    else
        level = (int32_t)soak_next(r);
    return level == 100 ? 101 : level;
}

static uint32_t random_provider(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 100);
    uint32_t id;

    if (pick < 80)
        return soak.role->id;
    if (pick < 90)
        return soak_other_id(r);
    if (pick < 93)
        return DVR_PROVIDER_CORE;
    if (pick < 97)
        id = (uint32_t)soak_next(r) & 0xFFFF0000u;
    else
        id = (uint32_t)soak_next(r);
    return id ? id : soak.role->id;
}

static void random_event(struct soak_rng *r)
{
    _EventParmsIn in;
    uint32_t i;

    memset(&in, 0, sizeof in);
    if (soak_one_in(r, 10))
        for (i = 0; i < sizeof in; ++i)
            ((unsigned char *)&in)[i] = (unsigned char)soak_next(r);
    in.size = soak_one_in(r, 4) ? (uint32_t)soak_next(r) : (uint32_t)sizeof in;
    in.version = soak_one_in(r, 4) ? (uint32_t)soak_next(r) : DVR_EVENT_PARMS_VERSION;
    in.providerID = random_provider(r);
    in.eventType = soak_random_type(r);
    in.flags = soak_random_flags(r);
    in.level = random_level(r);
    in.requestKey = soak_one_in(r, 50) ? (uint32_t)soak_next(r) : 0;
    in.frameType = (uint8_t)soak_below(r, 3);
    /* A message the core prints comes only from a soak plugin, whose
     * threshold lets few through; the core's own messages pass from 0. */
    if ((in.eventType & DVR_EVENT_LOG) && (in.flags & DVR_FLAG_LOG_MESSAGE)) {
        if (in.providerID == DVR_PROVIDER_CORE)
            in.level = -1 - (int32_t)soak_below(r, 1000);
        else if (in.providerID != soak.role->id)
            in.providerID = soak_other_id(r);
    }
    soak_random_data(r, &in, SOAK_PATTERN_BYTES);
    soak_post(&in);
}

/* A run of frames: mostly a key frame first, then dependent ones; now and
 * then more than the gate lets through after one key frame. */
static void frames(struct soak_rng *r)
{
    const uint32_t count = soak_one_in(r, 200) ? 800 : 1 + soak_below(r, soak.fast ? 8 : 32);
    const uint32_t provider = soak_one_in(r, 8) ? soak_other_id(r) : soak.role->id;
    const int key_first = !soak_one_in(r, 4);
    uint32_t i;

    for (i = 0; i < count && !atomic_load(&soak.closing); ++i) {
        const int video = !soak_one_in(r, 3);
        _EventParmsIn in = dvr_event_in(provider, video ? DVR_EVENT_VIDEO_FRAME : DVR_EVENT_AUDIO_FRAME,
                                        DVR_FLAG_FLOW_CONTROL);
        if (soak_one_in(r, 10))
            in.flags |= (uint32_t)soak_next(r) & 0x00FFFFFFu;
        in.frameType =
            (i == 0 && key_first) || (count <= 32 && soak_one_in(r, 100)) ? DVR_FRAME_KEY : 0;
        soak_random_data(r, &in, count > 32 ? 2048 : 65536);
        soak_post(&in);
    }
}

static void sleep_briefly(struct soak_rng *r)
{
    struct timespec t = {0, (long)soak_below(r, 200000)};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

void soak_act(struct soak_rng *r)
{
    /* Shares per 100,000 acts: the chaos mix for the sanitizer runs, and the
     * fast mix of the long run, which is nearly all small events. */
    const uint32_t pick = soak_below(r, 100000);

    if (soak.fast) {
        if (pick < 99000) random_event(r);
        else if (pick < 99500) frames(r);
        else if (pick < 99900) soak_release_something(r);
        else if (pick < 99905) soak_read_request(r);
        else if (pick < 99910) soak_cancel_request(r);
        else if (pick < 99960) soak_parent_packet(r);
        else if (pick < 99962) soak_post_document(r);
        else random_event(r);
        return;
    }
    if (pick < 78000) random_event(r);
    else if (pick < 86000) frames(r);
    else if (pick < 97000) soak_release_something(r);
    else if (pick < 97300) soak_read_request(r);
    else if (pick < 97500) soak_cancel_request(r);
    else if (pick < 99000) soak_parent_packet(r);
    else if (pick < 99300) soak_post_document(r);
    else if (pick < 99800) {
        /* An answer from a thread that serves no request: refused. */
        _EventParmsIn in = dvr_event_in(soak.role->id, DVR_EVENT_KIND_0x8, 0);
        in.requestKey = 1 + soak_below(r, 64);
        soak_random_data(r, &in, 4096);
        soak_post(&in);
    } else sleep_briefly(r);
}
