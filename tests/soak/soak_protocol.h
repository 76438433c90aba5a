/*
 * soak_protocol.h - what the soak plugins and the soak parent agree on.
 * Plain C, for the plugins (C) and soak_parent.cpp (C++).
 */
#ifndef SOAK_PROTOCOL_H
#define SOAK_PROTOCOL_H

#include <stdint.h>

/* The soak plugins' IDs, by slot (soak0.so ... soak3.so; soak4.so claims
 * slot 0's ID and is refused). */
#define SOAK_PLUGINS 4
#define SOAK_ID_0 0x00A00000u
#define SOAK_ID_1 0x00A10000u
#define SOAK_ID_2 0x00FE0000u /* the last slot of the log-level table */
#define SOAK_ID_3 0x00A30000u

/* Parent commands: a count query, answered with a struct soak_counts payload. */
#define SOAK_COUNT_QUERY  0x5001u
#define SOAK_COUNT_ANSWER 0x5002u

/* Unload's result: each plugin's "unload returned" line (core level 0) shows
 * that the core's level-0 messages still reach the console when the leak
 * report would be written. */
#define SOAK_UNLOAD_MARK 77

struct soak_counts {
    uint64_t accepted; /* events the core accepted (result 0) */
    uint64_t posted;   /* every call of the event entry */
    uint32_t kept;     /* blocks held now */
    uint32_t slot;
};

#endif /* SOAK_PROTOCOL_H */
