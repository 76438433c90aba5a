/*
 * soak_plugin.h - what the parts of the hostile soak plugin share.
 *
 * One set of sources is built into several plugins (soak0.so ... soak4.so),
 * each with its own SOAK_SLOT: its ID, its subscriptions and the threads it
 * asks for come from the role table in soak_plugin.c. Every plugin attacks
 * the core through the public interface only (include/plugin/), from several
 * threads at once, and is itself free of data races: its shared state is
 * guarded by `soak.lock` or is atomic, each thread has its own random
 * generator, and it reads only its own buffers and the blocks the core hands
 * it during the call that hands them. So a sanitizer report from a soak run
 * is a fault of the core.
 */
#ifndef SOAK_PLUGIN_H
#define SOAK_PLUGIN_H

#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>

#include "plugin/dvrplugin.h"
#include "soak_protocol.h"

/* Producer threads a plugin can have: worker, reader and two of its own. */
#define SOAK_MAX_PRODUCERS 4
#define SOAK_KEPT_MAX      64   /* blocks held at once */
#define SOAK_RECENT_MAX    256  /* pointers seen or released, for stale releases */
#define SOAK_PATTERN_BYTES (1u << 20)

struct soak_role {
    uint32_t id;
    uint32_t subscribe[DVR_SUBSCRIBE_COUNT];
    uint8_t worker, readable, writable;
    int own_threads;
};

/* xorshift64*: one per thread, never shared. */
struct soak_rng {
    uint64_t state;
};

static inline uint64_t soak_next(struct soak_rng *r)
{
    r->state ^= r->state >> 12;
    r->state ^= r->state << 25;
    r->state ^= r->state >> 27;
    return r->state * 2685821657736338717ull;
}

/* A number in [0, n). */
static inline uint32_t soak_below(struct soak_rng *r, uint32_t n)
{
    return n ? (uint32_t)((soak_next(r) >> 32) % n) : 0;
}

/* True once in `n` calls, on average. */
static inline int soak_one_in(struct soak_rng *r, uint32_t n)
{
    return soak_below(r, n) == 0;
}

struct soak_state {
    DvrEventEntry entry;
    const struct soak_role *role;
    int slot;
    int fast;      /* SOAK_PROFILE=fast: mostly small events, for the long run */
    uint64_t seed; /* SOAK_SEED, mixed with the slot */
    /* Random bytes, written in Load only: the data every event copies from. */
    unsigned char pattern[SOAK_PATTERN_BYTES];

    atomic_int closing;
    atomic_uint_fast64_t accepted, posted, kept_total, released, reads, packets_in;
    /* By result, 1 (stopping, foreign key) to 5 (throttled); a log-level
     * query answers with the threshold and is counted in neither. */
    atomic_uint_fast64_t refused[DVR_RESULT_THROTTLED + 1];
    atomic_int reads_running;
    atomic_int reader_taken;

    pthread_mutex_t lock;  /* guards everything below */
    pthread_cond_t paced;  /* a tick came back, or closing */
    void *kept[SOAK_KEPT_MAX];
    int kept_count;
    void *recent[SOAK_RECENT_MAX];
    unsigned recent_next;
    uint32_t ticks_posted[SOAK_MAX_PRODUCERS];
    uint32_t ticks_back[SOAK_MAX_PRODUCERS];
};

extern struct soak_state soak;

/* soak_plugin.c */
int32_t soak_post(_EventParmsIn *in);
void soak_remember(void *pointer); /* with soak.lock held */
void soak_run_producer(int producer);

/* soak_actions.c: one hostile act, chosen at random, and what the acts share. */
void soak_act(struct soak_rng *r);
/* Reads `len` bytes at `data` (a block the core handed over for this call). */
uint32_t soak_touch(const void *data, uint32_t len);
extern const uint32_t soak_kinds[10]; /* the event types that are subscription bits, and 0x100 */
uint32_t soak_other_id(struct soak_rng *r); /* a soak plugin's ID, maybe this one's */
uint32_t soak_random_type(struct soak_rng *r);
uint32_t soak_random_flags(struct soak_rng *r);
/* Data and length as the core may be shown them, at most `max_len` bytes. */
void soak_random_data(struct soak_rng *r, _EventParmsIn *in, uint32_t max_len);

/* soak_releases.c */
void soak_release_something(struct soak_rng *r);

/* soak_requests.c */
void soak_read_request(struct soak_rng *r);
void soak_cancel_request(struct soak_rng *r);
void soak_answer_request(const _ReadParmsIn *in, struct soak_rng *r);
void soak_parent_packet(struct soak_rng *r);
void soak_answer_parent(const unsigned char *packet, uint32_t length, struct soak_rng *r);

/* True at most once an `interval_ns`, across threads (soak_actions.c). At
 * most one configuration document every 20 ms per plugin, so the core's I/O
 * thread, which parses each one, keeps up. */
int soak_due(atomic_uint_fast64_t *next_ns, uint64_t interval_ns);
int soak_document_due(void);

/* soak_documents.c: configuration documents, valid and not. */
void soak_post_document(struct soak_rng *r);

#endif /* SOAK_PLUGIN_H */
