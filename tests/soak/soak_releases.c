/*
 * soak_releases.c - releases the soak plugin posts: of blocks it keeps (once
 * or twice), of pointers it saw or released before (foreign and stale), of
 * pointers that never were blocks, with no pointer, and under other holders'
 * names, the core's among them.
 */
#include <stdlib.h>

#include "plugin/dvrplugin_helpers.h"
#include "soak_plugin.h"

static void release(void *pointer, uint32_t holder)
{
    dvr_release(soak.entry, holder, pointer);
    atomic_fetch_add(&soak.released, 1);
}

/* One kept block, released by this (any) thread: once, or twice. */
static void release_kept(struct soak_rng *r, int twice)
{
    pthread_mutex_lock(&soak.lock);
    if (soak.kept_count > 0) {
        const int i = (int)soak_below(r, (uint32_t)soak.kept_count);
        void *pointer = soak.kept[i];
        soak.kept[i] = soak.kept[--soak.kept_count];
        release(pointer, soak.role->id);
        if (twice)
            release(pointer, soak.role->id);
        soak_remember(pointer);
    }
    pthread_mutex_unlock(&soak.lock);
}

/* A pointer seen in Write and not kept (another plugin may keep it, or it
 * is gone), or one already released: foreign, stale and double releases. */
static void *recent(struct soak_rng *r)
{
    void *pointer;

    pthread_mutex_lock(&soak.lock);
    pointer = soak.recent[soak_below(r, SOAK_RECENT_MAX)];
    pthread_mutex_unlock(&soak.lock);
    return pointer;
}

/* Pointers that never were blocks. A live buffer of the plugin's own is
 * released and then freed here: had the core freed it, this free would be
 * the second. */
static void release_never_a_block(struct soak_rng *r)
{
    int local = 0;

    switch (soak_below(r, 6)) {
    case 0:
        release(&local, soak.role->id);
        break;
    case 1:
        release(soak.pattern + soak_below(r, SOAK_PATTERN_BYTES), soak.role->id);
        break;
    case 2:
        release((void *)(uintptr_t)soak_next(r), soak.role->id);
        break;
    case 3:
        release((void *)(uintptr_t)1, soak.role->id);
        break;
    case 4: {
        void *own = malloc(1 + soak_below(r, 4096));
        if (own) {
            release(own, soak.role->id);
            free(own);
        }
        break;
    }
    default:
        release((void *)((uintptr_t)recent(r) + 1), soak.role->id); /* inside a block */
        break;
    }
}

void soak_release_something(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 100);

    if (pick < 40)
        release_kept(r, 0);
    else if (pick < 50)
        release_kept(r, 1);
    else if (pick < 75)
        release(recent(r), soak.role->id);
    else if (pick < 88)
        release_never_a_block(r);
    else if (pick < 93)
        release(NULL, soak.role->id);
    else if (pick < 96)
        release(recent(r), DVR_PROVIDER_CORE); /* the core ignores it */
    else
        /* Under another holder's name. */
        release(recent(r), soak_one_in(r, 2) ? soak_other_id(r) : (uint32_t)soak_next(r));
}
