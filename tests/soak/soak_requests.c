/*
 * soak_requests.c - read requests and their cancellation, the answers a
 * request's Read posts, packets for the parent (well-formed and malformed)
 * and the answers to the parent's packets.
 */
#include <stdlib.h>
#include <string.h>

#include "plugin/dvrplugin_helpers.h"
#include "soak_plugin.h"

void soak_read_request(struct soak_rng *r)
{
    _EventParmsIn in = dvr_event_in(DVR_PROVIDER_TO_CORE, soak_random_type(r), soak_random_flags(r));

    if (soak_one_in(r, 4))
        in.flags = 0;
    in.requestKey = soak_below(r, 64);
    soak_random_data(r, &in, 4096);
    soak_post(&in);
}

void soak_cancel_request(struct soak_rng *r)
{
    _EventParmsIn in = dvr_event_in(DVR_PROVIDER_TO_CORE, DVR_EVENT_CANCEL_REQUEST, 0);

    in.requestKey = soak_below(r, 64);
    soak_post(&in);
}

void soak_answer_request(const _ReadParmsIn *in, struct soak_rng *r)
{
    const uint32_t answers = soak_below(r, 5);
    uint32_t i;

    if (in->data && in->len)
        soak_touch(in->data, in->len);
    for (i = 0; i < answers && !atomic_load(&soak.closing); ++i) {
        _EventParmsIn answer =
            dvr_event_in(soak.role->id, soak_kinds[soak_below(r, 8)], soak_below(r, 2) * DVR_FLAG_FLOW_CONTROL);
        answer.requestKey = soak_one_in(r, 8) ? (uint32_t)soak_next(r) | 1 : in->requestKey;
        if (soak_one_in(r, 10))
            soak_cancel_request(r);
        soak_random_data(r, &answer, 4096);
        soak_post(&answer); /* waits while this thread's last answer is held */
    }
}

/* A malloc'ed packet for the parent, of exactly `len` bytes, or none. */
static void post_packet(uint32_t provider, const _IpcPacketHeader *header, uint32_t len,
                        int with_buffer)
{
    _EventParmsIn in = dvr_event_in(provider, DVR_EVENT_PARENT_PACKET, 0);
    unsigned char *buffer = with_buffer ? malloc(len ? len : 1) : NULL;

    if (buffer) {
        const uint32_t head = len < sizeof *header ? len : (uint32_t)sizeof *header;
        memcpy(buffer + head, soak.pattern, len - head);
        memcpy(buffer, header, head);
    }
    in.data = buffer;
    in.len = len;
    soak_post(&in); /* the buffer is the core's from here on */
}

void soak_parent_packet(struct soak_rng *r)
{
    const uint32_t pick = soak_below(r, 100);
    _IpcPacketHeader header;
    uint32_t len = DVR_IPC_HEADER_SIZE + soak_below(r, 512);

    header.target = soak_one_in(r, 2) ? DVR_IPC_TARGET(soak.role->id) : (uint32_t)soak_next(r);
    header.command = (uint32_t)soak_next(r);
    header.tag = (uint32_t)soak_next(r);
    if (pick < 10)
        len = 1 + soak_below(r, DVR_IPC_HEADER_SIZE - 1);
    else if (pick < 15)
        len = DVR_IPC_MAX_PACKET + 1 + soak_below(r, 3 * DVR_IPC_MAX_PACKET);
    header.length = pick < 70 ? len : (uint32_t)soak_next(r);
    if (pick >= 90 && pick < 95)
        len = 0;
    post_packet(soak_one_in(r, 20) ? (uint32_t)soak_next(r) : soak.role->id, &header, len,
                pick < 95);
}

void soak_answer_parent(const unsigned char *packet, uint32_t length, struct soak_rng *r)
{
    _IpcPacketHeader header;
    uint32_t payload;

    soak_touch(packet, length);
    if (length < sizeof header)
        return;
    memcpy(&header, packet, sizeof header);
    if (header.command == SOAK_COUNT_QUERY) {
        unsigned char answer[sizeof header + sizeof(struct soak_counts)];
        struct soak_counts counts;
        memset(&counts, 0, sizeof counts);
        counts.accepted = atomic_load(&soak.accepted);
        counts.posted = atomic_load(&soak.posted);
        pthread_mutex_lock(&soak.lock);
        counts.kept = (uint32_t)soak.kept_count;
        pthread_mutex_unlock(&soak.lock);
        counts.slot = (uint32_t)soak.slot;
        header.length = sizeof answer;
        header.command = SOAK_COUNT_ANSWER;
        memcpy(answer, &header, sizeof header);
        memcpy(answer + sizeof header, &counts, sizeof counts);
        dvr_send_to_parent(soak.entry, soak.role->id, answer, sizeof answer);
        return;
    }
    /* Anything else: an echo of up to 256 bytes, a packet whose header lies,
     * a large one, or no answer. */
    payload = length - (uint32_t)sizeof header;
    switch (soak_below(r, 4)) {
    case 0:
        if (payload > 256)
            payload = 256;
        header.length = (uint32_t)sizeof header + payload;
        {
            unsigned char echo[sizeof header + 256];
            memcpy(echo, &header, sizeof header);
            memcpy(echo + sizeof header, packet + sizeof header, payload);
            dvr_send_to_parent(soak.entry, soak.role->id, echo, header.length);
        }
        break;
    case 1:
        header.length = (uint32_t)soak_next(r);
        post_packet(soak.role->id, &header, 16 + soak_below(r, 64), 1);
        break;
    case 2:
        header.length = 16 + soak_below(r, 100000);
        post_packet(soak.role->id, &header, header.length, 1);
        break;
    default:
        break;
    }
}
