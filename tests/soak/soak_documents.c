/*
 * soak_documents.c - configuration documents the soak plugin sends.
 *
 * Delta documents that change the soak plugins' thresholds (within 90..99,
 * or back to their default), with entries the core must skip beside them;
 * documents that change nothing; and garbage: random bytes, valid documents
 * cut short or with bytes changed, nesting beyond the parser's limit, NUL
 * bytes inside, large documents, and no data at all. None names the core's
 * own ID, nor any ID whose log-table slot is the core's, so the core's
 * level-0 messages (its leak report among them) stay on the console.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "plugin/dvrplugin_helpers.h"
#include "soak_plugin.h"

#define DOCUMENT_MAX (256u * 1024u)

/* Decimal IDs of the soak plugins, and entries the core skips: below
 * 0x40000, slot 255, bits 24-27 set. */
static const char *const valid_ids[] = {"10485760", "10551296", "16646144", "10682368"};
static const char *const skipped_ids[] = {"196608", "16711680", "27262976", "loud", ""};

struct text {
    char *bytes;
    size_t length;
};

static void append(struct text *t, const char *format, const char *a, const char *b)
{
    int n;

    if (t->length >= DOCUMENT_MAX)
        return;
    n = snprintf(t->bytes + t->length, DOCUMENT_MAX - t->length, format, a, b);
    if (n > 0)
        t->length += (size_t)n < DOCUMENT_MAX - t->length ? (size_t)n : DOCUMENT_MAX - t->length - 1;
}

static void level_text(struct soak_rng *r, char *level, size_t size)
{
    if (soak_one_in(r, 5))
        snprintf(level, size, "-1");
    else
        snprintf(level, size, "%u", 90 + soak_below(r, 10));
}

/* A Delta document (or, with delta 0, one that changes nothing) with
 * `entries` Plugin entries spread over Module elements. */
static void delta_document(struct soak_rng *r, struct text *t, const char *delta, uint32_t entries)
{
    char level[16];
    uint32_t i;

    append(t, "<%s Delta=\"%s\"><Modules><Module>", soak_one_in(r, 2) ? "Qarn" : "Anything", delta);
    for (i = 0; i < entries && t->length + 128 < DOCUMENT_MAX; ++i) {
        level_text(r, level, sizeof level);
        if (soak_one_in(r, 4))
            append(t, "<Plugin ID=\"%s\" LogLevel=\"%s\"/>",
                   skipped_ids[soak_below(r, sizeof skipped_ids / sizeof skipped_ids[0])],
                   soak_one_in(r, 2) ? level : "101");
        else
            append(t, "<Plugin ID=\"%s\" LogLevel=\"%s\"/>",
                   valid_ids[soak_below(r, sizeof valid_ids / sizeof valid_ids[0])], level);
        if (soak_one_in(r, 8))
            append(t, "%s%s", "</Module><Module>", "");
    }
    append(t, "%s%s", "</Module></Modules></", soak_one_in(r, 2) ? "Qarn>" : "Anything>");
}

static void garbage(struct soak_rng *r, struct text *t)
{
    const uint32_t length = 1 + soak_below(r, 8192);
    memcpy(t->bytes, soak.pattern + soak_below(r, SOAK_PATTERN_BYTES - length), length);
    t->length = length;
}

static void too_deep(struct soak_rng *r, struct text *t)
{
    const uint32_t depth = 90 + soak_below(r, 200);
    uint32_t i;

    for (i = 0; i < depth; ++i)
        append(t, "<%s%s>", "a", "");
    for (i = 0; i < depth; ++i)
        append(t, "</%s%s>", "a", "");
}

static void post(struct soak_rng *r, const void *data, uint32_t len)
{
    _EventParmsIn in = dvr_event_in(soak.role->id, DVR_EVENT_CONFIG, DVR_FLAG_XML);
    const uint32_t pick = soak_below(r, 20);

    if (pick == 0)
        in.providerID = DVR_PROVIDER_CORE; /* passed on as if the core sent it */
    else if (pick == 1)
        in.providerID = soak.role->id == SOAK_ID_1 ? SOAK_ID_0 : SOAK_ID_1; /* another's */
    if (soak_one_in(r, 4))
        in.flags |= DVR_FLAG_FLOW_CONTROL;
    if (soak_one_in(r, 10))
        in.flags = (uint32_t)soak_next(r);
    in.data = (void *)data;
    in.len = len;
    soak_post(&in);
}

void soak_post_document(struct soak_rng *r)
{
    static atomic_uint_fast64_t next_change_ns;
    struct text t;
    const uint32_t pick = soak_below(r, 100);
    uint32_t i;

    if (!soak_document_due())
        return;
    t.bytes = malloc(DOCUMENT_MAX);
    if (!t.bytes)
        return;
    t.length = 0;
    /* A Delta that changes thresholds makes the core save core.xml and send
     * its status to every plugin: once a second at most. */
    if (pick < 25 && soak_due(&next_change_ns, 1000000000ull)) {
        delta_document(r, &t, soak_one_in(r, 4) ? "7" : "1", 1 + soak_below(r, 6));
    } else if (pick < 40) {
        delta_document(r, &t, soak_one_in(r, 2) ? "0" : "x", 1 + soak_below(r, 6));
    } else if (pick < 55) {
        garbage(r, &t);
    } else if (pick < 65) {
        delta_document(r, &t, "1", 1 + soak_below(r, 6));
        t.length = soak_below(r, (uint32_t)t.length);
    } else if (pick < 78) {
        delta_document(r, &t, "0", 1 + soak_below(r, 6));
        for (i = soak_below(r, 4); i < 4 && t.length; ++i)
            t.bytes[soak_below(r, (uint32_t)t.length)] = (char)soak_next(r);
    } else if (pick < 86) {
        too_deep(r, &t);
    } else if (pick < 93) {
        delta_document(r, &t, "0", 2000 + soak_below(r, 4000)); /* 100-250 KiB */
    } else if (pick < 96) {
        delta_document(r, &t, "0", 1 + soak_below(r, 6));
        t.bytes[soak_below(r, (uint32_t)t.length)] = '\0';
    } else if (pick < 98) {
        post(r, NULL, (uint32_t)soak_next(r));
        free(t.bytes);
        return;
    } else {
        post(r, t.bytes, 0);
        free(t.bytes);
        return;
    }
    post(r, t.bytes, (uint32_t)t.length);
    free(t.bytes);
}
