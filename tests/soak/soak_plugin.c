/*
 * soak_plugin.c - the entry points and threads of the hostile soak plugin.
 *
 * Each plugin runs producer threads (the core's worker, its reader thread
 * and threads of its own, as its role says) that call soak_act() in a loop:
 * random events of every type, flag and length, frames, log messages and
 * queries, releases of kept, foreign, stale and made-up pointers, read
 * requests and cancellations, packets for the parent, configuration
 * documents. Write reads every block it is handed and keeps some of them;
 * other threads release them later. The producers pace themselves so that
 * the core's queue stays bounded: every SOAK_TICK_EVERY acts a thread posts
 * a tick, an event only this plugin takes, and waits while more than
 * SOAK_TICK_WINDOW of its ticks are still on their way.
 *
 * Close stops the plugin's own threads and releases every block it keeps,
 * so any block the core still lists when it exits was lost by the core.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin/dvrplugin_entry.h"
#include "plugin/dvrplugin_helpers.h"
#include "soak_plugin.h"

#ifndef SOAK_SLOT
#error "SOAK_SLOT must be defined"
#endif

#define SOAK_TICK_EVERY  256
#define SOAK_TICK_WINDOW 2
#define SOAK_TICK_MAGIC  0x4B434954u /* "TICK" */
#define SOAK_LOG_LEVEL   95          /* the plugins' own default threshold */

#define ALL 0xFFFFFFFFu
/* Words of slot 1: frames only with flow control (or no flags), every log
 * message and status document, the low half of 0x80's flags. */
#define FRAMES DVR_MATCH_VALUE(DVR_FLAG_FLOW_CONTROL)

static const struct soak_role roles[] = {
    /* 0: takes everything, closes first. */
    {SOAK_ID_0, {ALL, ALL, ALL, ALL, ALL, ALL, ALL, ALL, ALL}, 1, 1, 1, 1},
    /* 1: frames with flow control, logs, status; closes last. */
    {SOAK_ID_1, {FRAMES, FRAMES, ALL, 0, 0, 0, ALL, 0x0000FFFFu, 0}, 1, 0, 1, 1},
    /* 2: the last log-table slot, half of every kind's flags, no worker. */
    {SOAK_ID_2,
     {0x00FF00FFu, 0x00FF00FFu, 0x00FF00FFu, 0x00FF00FFu, 0x00FF00FFu, 0x00FF00FFu, 0x00FF00FFu,
      0x00FF00FFu, 0x00FF00FFu},
     0, 1, 1, 2},
    /* 3: takes no events (so no ticks: it paces itself by sleeping). */
    {SOAK_ID_3, {0, 0, 0, 0, 0, 0x12345678u, 0, 0, 0}, 1, 1, 0, 0},
    /* 4: claims slot 0's ID, so the core refuses it after its Load. */
    {SOAK_ID_0, {ALL, ALL, ALL, ALL, ALL, ALL, ALL, ALL, ALL}, 1, 1, 1, 1},
};

struct soak_state soak;
/* Generators of the entry points the core calls on one thread each: Write
 * and configuration updates on the delivery thread, parent packets on the
 * I/O thread. (Not thread-local: the library is closed while the core's
 * threads live on.) */
static struct soak_rng delivery_rng = {0x5DEECE66Dull};
static struct soak_rng io_rng = {0xA0761D6478BD642Full};
static pthread_t own_threads[2];
static int own_started;

int32_t soak_post(_EventParmsIn *in)
{
    _EventParmsOut out = dvr_event_out();
    soak.entry(in, &out);
    atomic_fetch_add(&soak.posted, 1);
    if (out.result == DVR_RESULT_OK)
        atomic_fetch_add(&soak.accepted, 1);
    else if (out.result > 0 && out.result <= DVR_RESULT_THROTTLED)
        atomic_fetch_add(&soak.refused[out.result], 1);
    return out.result;
}

void soak_remember(void *pointer)
{
    soak.recent[soak.recent_next++ % SOAK_RECENT_MAX] = pointer;
}

static uint64_t env_number(const char *name, uint64_t fallback)
{
    const char *text = getenv(name);
    return text && *text ? strtoull(text, NULL, 0) : fallback;
}

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    const char *profile = getenv("SOAK_PROFILE");
    struct soak_rng r;
    uint32_t i;
    int k;

    soak.entry = in->eventEntry;
    soak.role = &roles[SOAK_SLOT];
    soak.slot = SOAK_SLOT;
    soak.fast = profile && strcmp(profile, "fast") == 0;
    soak.seed = env_number("SOAK_SEED", 1) * 0x9E3779B97F4A7C15ull + SOAK_SLOT + 1;
    r.state = soak.seed | 1;
    for (i = 0; i < SOAK_PATTERN_BYTES; i += 8) {
        const uint64_t word = soak_next(&r);
        memcpy(soak.pattern + i, &word, 8);
    }
    delivery_rng.state ^= soak.seed;
    io_rng.state ^= soak.seed;
    pthread_mutex_init(&soak.lock, NULL);
    {
        pthread_condattr_t attributes;
        pthread_condattr_init(&attributes);
        pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        pthread_cond_init(&soak.paced, &attributes);
        pthread_condattr_destroy(&attributes);
    }

    out->pluginId = soak.role->id;
    for (k = 0; k < DVR_SUBSCRIBE_COUNT; ++k)
        out->subscribe[k] = soak.role->subscribe[k];
    out->wantWorkerThread = soak.role->worker;
    out->readable = soak.role->readable;
    out->writable = soak.role->writable;
    out->defaultLogLevel = SOAK_LOG_LEVEL;
    return 0;
}

static void *own_thread(void *arg)
{
    soak_run_producer((int)(intptr_t)arg);
    return NULL;
}

int Open(const _OpenParmsIn *in, _OpenParmsOut *out)
{
    int i;

    (void)in;
    (void)out;
    for (i = 0; i < soak.role->own_threads; ++i)
        if (pthread_create(&own_threads[i], NULL, own_thread, (void *)(intptr_t)(2 + i)) == 0)
            own_started = i + 1;
    dvr_log(soak.entry, soak.role->id, 99, "soak%d: opened (seed %llu, %s profile)", SOAK_SLOT,
            (unsigned long long)soak.seed, soak.fast ? "fast" : "chaos");
    return 0;
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    int i, released = 0;

    (void)in;
    (void)out;
    atomic_store(&soak.closing, 1);
    pthread_mutex_lock(&soak.lock);
    pthread_cond_broadcast(&soak.paced);
    pthread_mutex_unlock(&soak.lock);
    for (i = 0; i < own_started; ++i)
        pthread_join(own_threads[i], NULL);

    /* Every hold goes before Close returns: a block the core lists at exit
     * was lost by the core, not kept by this plugin. */
    pthread_mutex_lock(&soak.lock);
    while (soak.kept_count > 0) {
        dvr_release(soak.entry, soak.role->id, soak.kept[--soak.kept_count]);
        ++released;
    }
    pthread_mutex_unlock(&soak.lock);
    dvr_log(soak.entry, soak.role->id, 99,
            "soak%d: closed: %llu events accepted of %llu posted (refused: %llu stopping or "
            "foreign key, %llu no key frame, %llu too many, %llu throttled), "
            "%llu blocks kept, %llu releases, %llu reads, %llu parent packets; released %d at "
            "close, holding 0",
            SOAK_SLOT, (unsigned long long)atomic_load(&soak.accepted),
            (unsigned long long)atomic_load(&soak.posted),
            (unsigned long long)atomic_load(&soak.refused[DVR_RESULT_REFUSED]),
            (unsigned long long)atomic_load(&soak.refused[DVR_RESULT_NO_KEY_FRAME]),
            (unsigned long long)atomic_load(&soak.refused[DVR_RESULT_TOO_MANY_DEPENDENT]),
            (unsigned long long)atomic_load(&soak.refused[DVR_RESULT_THROTTLED]),
            (unsigned long long)atomic_load(&soak.kept_total),
            (unsigned long long)atomic_load(&soak.released),
            (unsigned long long)atomic_load(&soak.reads),
            (unsigned long long)atomic_load(&soak.packets_in), released);
    return 0;
}

int Unload(const _UnloadParmsIn *in, _UnloadParmsOut *out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&soak.paced);
    pthread_mutex_destroy(&soak.lock);
    return SOAK_UNLOAD_MARK;
}

/* A tick: type 0x80 with no flags from this plugin, which therefore reaches
 * it whatever its words; the magic, producer and number sit in reserved3. */
static int is_tick(const _WriteParmsIn *in, int *producer, uint32_t *number)
{
    uint32_t magic;

    if (in->eventType != DVR_EVENT_KIND_0x80 || in->flags != 0 || in->providerID != soak.role->id)
        return 0;
    memcpy(&magic, in->reserved3, 4);
    if (magic != SOAK_TICK_MAGIC || in->reserved3[4] >= SOAK_MAX_PRODUCERS)
        return 0;
    *producer = in->reserved3[4];
    memcpy(number, in->reserved3 + 5, 4);
    return 1;
}

/* Posts the next tick of `producer` and waits while too many are on their
 * way. Returns at once when the tick is refused (the core is stopping) or
 * the plugin closes. */
static void pace(int producer)
{
    _EventParmsIn in = dvr_event_in(soak.role->id, DVR_EVENT_KIND_0x80, 0);
    const uint32_t magic = SOAK_TICK_MAGIC;
    uint32_t number;

    pthread_mutex_lock(&soak.lock);
    number = ++soak.ticks_posted[producer];
    pthread_mutex_unlock(&soak.lock);
    memcpy(in.reserved3, &magic, 4);
    in.reserved3[4] = (uint8_t)producer;
    memcpy(in.reserved3 + 5, &number, 4);
    if (soak_post(&in) != DVR_RESULT_OK)
        return;
    pthread_mutex_lock(&soak.lock);
    while (!atomic_load(&soak.closing) && number - soak.ticks_back[producer] > SOAK_TICK_WINDOW) {
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_nsec += 50 * 1000 * 1000;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            deadline.tv_sec += 1;
        }
        pthread_cond_timedwait(&soak.paced, &soak.lock, &deadline);
    }
    pthread_mutex_unlock(&soak.lock);
}

static void sleep_us(long us)
{
    struct timespec t = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&t, &t) == -1 && errno == EINTR) {
    }
}

void soak_run_producer(int producer)
{
    struct soak_rng r;
    int i;

    r.state = (soak.seed ^ (0xD1B54A32D192ED03ull * (uint64_t)(producer + 1))) | 1;
    while (!atomic_load(&soak.closing)) {
        for (i = 0; i < SOAK_TICK_EVERY && !atomic_load(&soak.closing); ++i) {
            soak_act(&r);
            if (!soak.role->writable && i % 16 == 15)
                sleep_us(soak.fast ? 200 : 1000);
        }
        if (soak.role->writable)
            pace(producer);
    }
}

int Write(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    struct soak_rng *const r = &delivery_rng;
    int producer;
    uint32_t number;

    if (is_tick(in, &producer, &number)) {
        pthread_mutex_lock(&soak.lock);
        if ((int32_t)(number - soak.ticks_back[producer]) > 0)
            soak.ticks_back[producer] = number;
        pthread_cond_broadcast(&soak.paced);
        pthread_mutex_unlock(&soak.lock);
        return 0;
    }
    if (in->data && in->len)
        soak_touch(in->data, in->len);

    if (in->data && soak_one_in(r, soak.fast ? 16 : 2)) {
        pthread_mutex_lock(&soak.lock);
        if (in->len <= 256 * 1024 && soak.kept_count < SOAK_KEPT_MAX && soak_one_in(r, 4)) {
            soak.kept[soak.kept_count++] = in->data;
            out->keep = 1;
            atomic_fetch_add(&soak.kept_total, 1);
        } else {
            soak_remember(in->data); /* someone else's, or soon freed: for stale releases */
        }
        pthread_mutex_unlock(&soak.lock);
    }

    if (soak.fast)
        return 0;
    if (soak_one_in(r, 100))
        soak_act(r); /* the entry may be called from inside Write */
    if (soak_one_in(r, 50000)) {
        out->error = (int32_t)soak_below(r, 1000) + 1; /* logged by the core at level 0 */
        return -(int)soak_below(r, 3);
    }
    if (soak_one_in(r, 200000))
        sleep_us(7000); /* a slow write, which the core logs */
    return 0;
}

int IOCTL(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    switch (in->code) {
    case IOCTL_RUN_WORKER:
        soak_run_producer(0);
        return 0;
    case IOCTL_UPDATE_CONFIG:
        if (in->data && in->length)
            soak_touch(in->data, in->length);
        if (in->data) {
            pthread_mutex_lock(&soak.lock);
            if (soak.kept_count < SOAK_KEPT_MAX && soak_one_in(&delivery_rng, 4)) {
                soak.kept[soak.kept_count++] = in->data;
                out->keep = 1;
                atomic_fetch_add(&soak.kept_total, 1);
            }
            pthread_mutex_unlock(&soak.lock);
        }
        if (!soak.fast && soak_one_in(&delivery_rng, 1000))
            out->error = 3;
        return 0;
    case IOCTL_IPC:
        atomic_fetch_add(&soak.packets_in, 1);
        if (in->data && in->length)
            soak_answer_parent(in->data, in->length, &io_rng);
        return 0;
    default:
        return -1;
    }
}

int Read(const _ReadParmsIn *in, _ReadParmsOut *out)
{
    struct soak_rng r;

    (void)out;
    /* The reader thread: Read without a request, once. A request with key 0
     * and no data looks the same; whichever comes first runs as the reader,
     * and both return once the plugin closes. */
    if (in->requestKey == 0 && !in->data && in->len == 0 &&
        atomic_exchange(&soak.reader_taken, 1) == 0) {
        soak_run_producer(1);
        return 0;
    }
    atomic_fetch_add(&soak.reads, 1);
    if (atomic_fetch_add(&soak.reads_running, 1) < 32) {
        r.state = (soak.seed ^ (uint64_t)in->requestKey ^ (uint64_t)(uintptr_t)&r) | 1;
        soak_answer_request(in, &r);
    }
    atomic_fetch_sub(&soak.reads_running, 1);
    return 0;
}

int Seek(const void *in, void *out)
{
    (void)in;
    (void)out;
    return 0;
}
