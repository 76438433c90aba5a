/* heap_probe, loaded last by `core_runs.py footprint`: 1.5 s after Open, on its
 * worker thread, writes mallinfo2's figures to heap-probe.txt. */
#define _GNU_SOURCE
#include <malloc.h>
#include <pthread.h>
#include <stdio.h>
#include <time.h>

#include "plugin/dvrplugin_entry.h"

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;
static int closing;

static void write_heap(void)
{
    const struct mallinfo2 info = mallinfo2();
    FILE *out = fopen("heap-probe.txt.part", "w");

    if (!out)
        return;
    fprintf(out, "heap_arena_bytes=%zu\nheap_in_use_bytes=%zu\nheap_mmapped_bytes=%zu\n",
            info.arena, info.uordblks, info.hblkhd);
    if (fclose(out) == 0)
        rename("heap-probe.txt.part", "heap-probe.txt");
}

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    pthread_condattr_t attributes;

    (void)in;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attributes);
    pthread_condattr_destroy(&attributes);
    out->pluginId = 0x00700000u;
    out->defaultLogLevel = 25;
    out->wantWorkerThread = 1;
    return 0;
}

int IOCTL(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    struct timespec due;

    (void)out;
    if (in->code != IOCTL_RUN_WORKER)
        return 0;
    clock_gettime(CLOCK_MONOTONIC, &due);
    due.tv_sec += 1 + (due.tv_nsec >= 500000000);
    due.tv_nsec = (due.tv_nsec + 500000000) % 1000000000;
    pthread_mutex_lock(&lock);
    while (!closing && pthread_cond_timedwait(&wake, &lock, &due) == 0) {
    }
    if (!closing)
        write_heap();
    while (!closing)
        pthread_cond_wait(&wake, &lock);
    pthread_mutex_unlock(&lock);
    return 0;
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
