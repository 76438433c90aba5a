/*
 * dvrplugin.h - the binary interface between the dvrcore daemon and its plugins.
 *
 * This header is all a plugin author needs. It is plain C (C99 or later, or
 * C++), depends only on <stdint.h> and <stddef.h>, and describes:
 *
 *   - the event records a plugin posts through the core's event entry
 *     (_EventParmsIn / _EventParmsOut), with the event types, flag bits and
 *     result codes the core interprets;
 *   - the records the core passes to a plugin's eight entry points
 *     (Load, Unload, Open, Close, Read, Write, Seek, IOCTL);
 *   - the IOCTL codes.
 *
 * The entry points a plugin exports are declared in dvrplugin_entry.h.
 *
 * Layout. The reference target is 32-bit little-endian ARM: pointers are four
 * bytes and every record below has exactly the documented size with no hidden
 * padding. On a 64-bit build the records keep the same fields in the same order
 * with natural alignment (pointers are eight bytes wide) and `size` carries the
 * real sizeof. The layouts are checked at compile time at the end of this file.
 *
 * Conventions that hold for every record:
 *   - Every record starts with `size` and `version`. The caller fills both; the
 *     receiver never needs to check them.
 *   - Input records are owned by the caller and valid only during the call.
 *   - Output records are preset by the caller (see each record); the callee
 *     fills what it has to say and leaves the rest alone.
 *   - Entry points return 0 for success. A non-zero return or a non-zero `error`
 *     word is logged by the core and otherwise changes nothing, unless a record
 *     says so (Load).
 */
#ifndef DVRPLUGIN_H
#define DVRPLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Provider IDs                                                              */
/* ------------------------------------------------------------------------ */

/*
 * A plugin names itself with a 32-bit ID of the form 0xNNNN0000 returned from
 * Load. Bits 16-27 ((id >> 16) & 0xFFF) select the plugin's entry in the log
 * threshold tables, which have DVR_LOG_LEVEL_ARRAY_SIZE entries; an ID with any
 * of bits 24-27 set is refused at load. The low 16 bits are the plugin's own.
 * The same ID marks the events it posts and the data blocks it holds.
 */
#define DVR_PROVIDER_CORE        0x80000000u /* the core itself, source "core" */
#define DVR_PROVIDER_TO_CORE     0x00000000u /* addresses the core: read requests */
#define DVR_LOG_LEVEL_ARRAY_SIZE 255         /* valid table indexes: 0..254 */

/* ------------------------------------------------------------------------ */
/* Event types (_EventParmsIn.eventType)                                     */
/* ------------------------------------------------------------------------ */

/* Tested as bits; each is also a subscription bit (see _LoadParmsOut). */
#define DVR_EVENT_VIDEO_FRAME  0x0001u /* gated and throttled with DVR_FLAG_FLOW_CONTROL */
#define DVR_EVENT_AUDIO_FRAME  0x0002u /* throttled with DVR_FLAG_FLOW_CONTROL */
#define DVR_EVENT_STATUS       0x0004u /* the core's memory-state document */
#define DVR_EVENT_KIND_0x8     0x0008u
#define DVR_EVENT_KIND_0x10    0x0010u
#define DVR_EVENT_KIND_0x20    0x0020u /* its subscription word is also the close-order key */
#define DVR_EVENT_LOG          0x0040u /* log message or log-level query */
#define DVR_EVENT_KIND_0x80    0x0080u
#define DVR_EVENT_CONFIG       0x0100u /* configuration document: every other plugin gets it through IOCTL code 2 */
#define DVR_EVENT_KIND_0x400   0x0400u

/* Tested by equality. */
#define DVR_EVENT_RELEASE        0x0200u /* give up the hold on the block at `data` */
#define DVR_EVENT_CANCEL_REQUEST 0x1000u /* with providerID 0: cancel `requestKey` */
#define DVR_EVENT_PARENT_PACKET  0x2000u /* `data` (malloc'ed, ownership passes) goes to the parent */

/* ------------------------------------------------------------------------ */
/* Flag bits (_EventParmsIn.flags)                                           */
/* ------------------------------------------------------------------------ */

#define DVR_FLAG_LOG_QUERY    0x00000001u /* with DVR_EVENT_LOG: ask for the threshold */
#define DVR_FLAG_LOG_MESSAGE  0x00000002u /* with DVR_EVENT_LOG: `data` is the text, `level` its level */
#define DVR_FLAG_XML          0x00000010u /* `data` is the text of an XML document */
#define DVR_FLAG_FLOW_CONTROL 0x01000000u /* frames: subject to the key-frame gate and throttling */

/* Value of _EventParmsIn.frameType for a key frame; anything else is dependent. */
#define DVR_FRAME_KEY 1

/* ------------------------------------------------------------------------ */
/* Results (_EventParmsOut.result)                                           */
/* ------------------------------------------------------------------------ */

#define DVR_RESULT_OK              0  /* accepted */
#define DVR_RESULT_REFUSED         1  /* stopping, cancelled or foreign request key, or no parent link */
#define DVR_RESULT_NO_MEMORY      (-1) /* the core could not allocate its copy of the data */
#define DVR_RESULT_NO_KEY_FRAME    3  /* video: no key frame accepted from this provider yet */
#define DVR_RESULT_TOO_MANY_DEPENDENT 4 /* video: more than 765 dependent frames since the key frame */
#define DVR_RESULT_THROTTLED       5  /* frame dropped: the process is above its memory limit */
/* A log-level query answers with the threshold itself (-1 = unset, 0..100). */

/* The value an entry point that a plugin does not export counts as returning. */
#define DVR_ENTRY_NOT_EXPORTED (-100)

/* ------------------------------------------------------------------------ */
/* IOCTL codes                                                               */
/* ------------------------------------------------------------------------ */

#define IOCTL_RUN_WORKER    1u /* on the worker thread the core made for the plugin; return after Close */
#define IOCTL_UPDATE_CONFIG 2u /* a configuration document from another plugin or the core */
#define IOCTL_IPC           4u /* a packet from the parent, header included; valid during the call only */

/* ------------------------------------------------------------------------ */
/* Event records                                                             */
/* ------------------------------------------------------------------------ */

/*
 * _EventParmsIn: what a producer hands to the event entry. 184 bytes on the
 * 32-bit target. Zero the whole record, then fill what the event needs.
 *
 * Data ownership: for every type but DVR_EVENT_PARENT_PACKET the core copies
 * `len` bytes from `data` before the entry returns, so the producer may reuse
 * its buffer at once. For DVR_EVENT_PARENT_PACKET `data` must come from malloc
 * and belongs to the core from the call on. A null `data` or a zero `len`
 * both mean "no data". Log text is NUL-terminated and `len` counts the NUL.
 */
typedef struct _EventParmsIn {
    uint32_t size;         /* sizeof(_EventParmsIn) */
    uint32_t version;      /* DVR_EVENT_PARMS_VERSION */
    uint32_t len;          /* bytes at data; 0 = no data */
    void    *data;         /* the event's data block, or NULL */
    uint32_t providerID;   /* the sender's plugin ID (or 0 to address the core) */
    uint32_t requestKey;   /* 0, or the read request this event answers */
    uint32_t eventType;    /* DVR_EVENT_* */
    uint32_t flags;        /* DVR_FLAG_* and subscription qualifier bits */
    uint8_t  reserved1[8]; /* carried unchanged to the receivers */
    int32_t  level;        /* log messages: the message's level */
    uint8_t  reserved2[6]; /* carried unchanged */
    uint8_t  frameType;    /* video: DVR_FRAME_KEY for a key frame */
    uint8_t  reserved3[133]; /* carried unchanged */
} _EventParmsIn;

/* _EventParmsOut: the event entry's answer. Preset result to 0. */
typedef struct _EventParmsOut {
    uint32_t size;     /* sizeof(_EventParmsOut) */
    uint32_t version;  /* DVR_EVENT_PARMS_VERSION */
    int32_t  result;   /* DVR_RESULT_* or, for a level query, the threshold */
} _EventParmsOut;

/*
 * The core's event entry, handed to the plugin in _LoadParmsIn.eventEntry.
 * Callable from any thread, from the moment Load is called until Unload
 * returns, including from inside Write, Read and IOCTL. Always returns 0; the
 * outcome is in out->result. Never blocks, except that a read thread posting a
 * second data block waits until the first has been released by every holder.
 */
typedef int (*DvrEventEntry)(const _EventParmsIn *in, _EventParmsOut *out);

/*
 * _WriteParmsIn: one queued event, handed to Write on the core's delivery
 * thread. The event's fields from `len` on are those the producer posted,
 * except that `data` is the core's shared copy. Receivers hold the block
 * during the call only, unless they set _WriteParmsOut.keep. The record is
 * read-only: the event's receivers are handed the same record in turn.
 */
typedef struct _WriteParmsIn {
    uint32_t size;         /* sizeof(_WriteParmsIn) */
    uint32_t version;      /* 1 */
    uint32_t reserved0;    /* 0 */
    uint8_t  isRead;       /* 0 here; 1 in _ReadParmsIn */
    uint8_t  pad[3];
    /* The event, from its len field to its end. */
    uint32_t len;
    void    *data;         /* the core's copy, shared by every receiver */
    uint32_t providerID;
    uint32_t requestKey;
    uint32_t eventType;
    uint32_t flags;
    uint8_t  reserved1[8];
    int32_t  level;
    uint8_t  reserved2[6];
    uint8_t  frameType;
    uint8_t  reserved3[133];
} _WriteParmsIn;

/*
 * _WriteParmsOut: preset with error 0 and keep 0. Set keep to non-zero to hold
 * on to `data` after Write returns; the plugin then posts a DVR_EVENT_RELEASE
 * event with that pointer in `data` and its own ID in `providerID` when done.
 */
typedef struct _WriteParmsOut {
    uint32_t size;       /* sizeof(_WriteParmsOut) */
    uint32_t version;    /* 1 */
    uint32_t reserved0;
    uint32_t reserved1;
    int32_t  error;      /* the plugin's error code; non-zero is logged */
    uint32_t keep;       /* non-zero: the plugin keeps its hold on data */
} _WriteParmsOut;

/*
 * _ReadParmsIn: a read request handed to Read on a thread of its own (one per
 * matching readable plugin and request), or the plugin's reader thread
 * (len 0, data NULL, requestKey 0). `data` is that thread's private copy of
 * the request data. Events the plugin posts from this thread with a non-zero
 * requestKey are answers to a request; at most one of them with data is in
 * flight at a time (the next waits until the previous block is released).
 */
typedef struct _ReadParmsIn {
    uint32_t size;       /* sizeof(_ReadParmsIn) */
    uint32_t version;    /* 1 */
    uint32_t reserved0;  /* 0 */
    uint8_t  isRead;     /* 1 */
    uint8_t  pad[3];     /* 0 */
    uint32_t len;        /* request data length */
    void    *data;       /* request data, or NULL */
    uint32_t requestKey; /* the request's key; 0 on the reader thread */
} _ReadParmsIn;

/* _ReadParmsOut: preset to zero; the core does not read it. */
typedef struct _ReadParmsOut {
    uint32_t size;        /* sizeof(_ReadParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t reserved[3];
} _ReadParmsOut;

/* ------------------------------------------------------------------------ */
/* Plugin life-cycle records                                                 */
/* ------------------------------------------------------------------------ */

/* _LoadParmsIn: Load's input. Keep eventEntry; coreHandle is opaque. */
typedef struct _LoadParmsIn {
    uint32_t      size;        /* sizeof(_LoadParmsIn) */
    uint32_t      version;     /* 4 */
    void         *coreHandle;  /* the core object; never dereference */
    DvrEventEntry eventEntry;  /* post events here, from any thread */
    uint32_t      reserved[2]; /* 0 */
} _LoadParmsIn;

/* Indexes into _LoadParmsOut.subscribe: one word per subscription bit. */
enum {
    DVR_SUBSCRIBE_0x1 = 0,   /* video frames */
    DVR_SUBSCRIBE_0x2,       /* audio frames */
    DVR_SUBSCRIBE_0x4,       /* status documents */
    DVR_SUBSCRIBE_0x8,
    DVR_SUBSCRIBE_0x10,
    DVR_SUBSCRIBE_0x20,      /* also the close-order key: larger words close first */
    DVR_SUBSCRIBE_0x40,      /* log messages */
    DVR_SUBSCRIBE_0x80,
    DVR_SUBSCRIBE_0x400,
    DVR_SUBSCRIBE_COUNT      /* 9 */
};

/*
 * Subscription matching. An event reaches Write when the plugin's `writable`
 * byte is non-zero and, for at least one subscription bit that the event's
 * type has, the plugin's word for that bit contains every bit of the event's
 * match value: the low 24 bits of `flags` as they are, with the top byte moved
 * up by one bit (bit 31 dropped). So a word of 0xFFFFFFFF takes every event of
 * that kind, and an event whose flags are 0 reaches every subscriber of its
 * kind. Use DVR_MATCH_VALUE to compute the word that admits given flags.
 */
#define DVR_MATCH_VALUE(flags) \
    ((((uint32_t)(flags) << 1) & 0xFE000000u) | ((uint32_t)(flags) & 0x00FFFFFFu))

/*
 * _LoadParmsOut: Load's answer. Preset to zero apart from size and version.
 * Return 0 and leave error 0 to be accepted. The core may still refuse an
 * accepted Load (duplicate ID, ID with bits 24-27 set) and then closes the
 * library without calling Unload: start no threads and register nothing in
 * Load; begin work in Open or on the worker thread.
 */
typedef struct _LoadParmsOut {
    uint32_t size;                 /* sizeof(_LoadParmsOut) */
    uint32_t version;              /* 2 */
    uint32_t pluginId;             /* 0xNNNN0000 */
    uint32_t subscribe[DVR_SUBSCRIBE_COUNT];
    uint32_t reserved0;
    uint8_t  wantWorkerThread;     /* non-zero: run IOCTL(IOCTL_RUN_WORKER) on a core thread */
    uint8_t  reserved1;
    uint8_t  readable;             /* non-zero: a reader thread and read-request threads */
    uint8_t  writable;             /* non-zero: queued events arrive through Write */
    uint32_t reserved2;
    int32_t  error;                /* non-zero refuses the load */
    int32_t  defaultLogLevel;      /* -1..100 applied; 0 requests nothing */
} _LoadParmsOut;

/* _OpenParmsIn / _OpenParmsOut: Open's records; the core reads nothing back. */
typedef struct _OpenParmsIn {
    uint32_t size;        /* sizeof(_OpenParmsIn) */
    uint32_t version;     /* 1 */
    uint32_t reserved[3];
} _OpenParmsIn;

typedef struct _OpenParmsOut {
    uint32_t size;        /* sizeof(_OpenParmsOut) */
    uint32_t version;     /* 1 */
    uint32_t reserved[2];
} _OpenParmsOut;

/* _CloseParmsIn / _CloseParmsOut: after Close the worker and reader calls must return. */
typedef struct _CloseParmsIn {
    uint32_t size;        /* sizeof(_CloseParmsIn) */
    uint32_t version;     /* 1 */
    uint32_t reserved;
} _CloseParmsIn;

typedef struct _CloseParmsOut {
    uint32_t size;        /* sizeof(_CloseParmsOut) */
    uint32_t version;     /* 1 */
    int32_t  error;
} _CloseParmsOut;

/* _UnloadParmsIn / _UnloadParmsOut: the plugin's threads have ended. */
typedef struct _UnloadParmsIn {
    uint32_t size;        /* sizeof(_UnloadParmsIn) */
    uint32_t version;     /* 1 */
} _UnloadParmsIn;

typedef struct _UnloadParmsOut {
    uint32_t size;        /* sizeof(_UnloadParmsOut) */
    uint32_t version;     /* 1 */
    int32_t  error;
} _UnloadParmsOut;

/* _IoctlParmsIn: an operation code with a parameter block. */
typedef struct _IoctlParmsIn {
    uint32_t size;         /* sizeof(_IoctlParmsIn) */
    uint32_t version;      /* 1 */
    uint32_t code;         /* IOCTL_* */
    uint32_t paramSize;    /* 8 without data, 16 with length and data */
    uint32_t paramVersion; /* 1 */
    uint32_t length;       /* bytes at data, or 0 */
    void    *data;         /* the code's data, or NULL */
} _IoctlParmsIn;

/*
 * _IoctlParmsOut: preset with code = the input's code, error 0, keep 0,
 * paramSize 8, paramVersion 1. For IOCTL_UPDATE_CONFIG, a non-zero keep holds
 * the document's block until the plugin posts a DVR_EVENT_RELEASE for it.
 */
typedef struct _IoctlParmsOut {
    uint32_t size;         /* sizeof(_IoctlParmsOut) */
    uint32_t version;      /* 1 */
    uint32_t code;
    int32_t  error;
    uint32_t keep;
    uint32_t paramSize;    /* 8 */
    uint32_t paramVersion; /* 1 */
} _IoctlParmsOut;

/* Record versions the core fills in. */
#define DVR_EVENT_PARMS_VERSION 1u
#define DVR_LOAD_IN_VERSION     4u
#define DVR_LOAD_OUT_VERSION    2u
#define DVR_RECORD_VERSION      1u /* every other record */

/* ------------------------------------------------------------------------ */
/* Packets exchanged with the parent                                          */
/* ------------------------------------------------------------------------ */

/*
 * The parent process talks to plugins in packets of at most 65,536 bytes:
 * a 16-byte header (little-endian words) followed by the payload. The core
 * hands a packet addressed to a plugin, header included, to that plugin's
 * IOCTL with code IOCTL_IPC: `data` points at the header, `length` is the
 * header's length field, and the bytes are valid only during the call (copy
 * what you need; do not change them). The packet goes to the first plugin,
 * in load order, whose ID matches the target: DVR_IPC_TARGET(pluginId) ==
 * DVR_IPC_TARGET_BITS(target). Commands 7 (settings, when it has a payload)
 * and 8 (stop) are the core's own; every other command, the `tag` word and
 * the payload mean what the plugin and the parent agree on.
 *
 * A plugin answers with a DVR_EVENT_PARENT_PACKET event whose `data` is a
 * malloc'ed buffer and `len` its length (see dvr_send_to_parent in
 * dvrplugin_helpers.h): the core writes exactly those bytes to the parent, in
 * the order the events reached the entry, in sends of at most 65,536 bytes,
 * and frees the buffer. By convention the answer starts with the same header.
 */
typedef struct _IpcPacketHeader {
    uint32_t length;  /* the whole packet, header included: 16..65,536 */
    uint32_t target;  /* bits 20..31 = bits 16..27 of the plugin's ID */
    uint32_t command; /* DVR_IPC_SETTINGS, DVR_IPC_STOP, or the plugin's own */
    uint32_t tag;     /* carried unchanged; the core never reads it */
} _IpcPacketHeader;

#define DVR_IPC_HEADER_SIZE 16u
#define DVR_IPC_MAX_PACKET  65536u
#define DVR_IPC_SETTINGS    7u /* payload: file name NUL version NUL "Background:true" */
#define DVR_IPC_STOP        8u
/* The target bits of a plugin ID, and of a packet's target word. */
#define DVR_IPC_TARGET(pluginId)    (((uint32_t)(pluginId) << 4) & 0xFFF00000u)
#define DVR_IPC_TARGET_BITS(target) ((uint32_t)(target) & 0xFFF00000u)

/* ------------------------------------------------------------------------ */
/* Entry point types                                                         */
/* ------------------------------------------------------------------------ */

typedef int (*DvrLoadFn)(const _LoadParmsIn *in, _LoadParmsOut *out);
typedef int (*DvrUnloadFn)(const _UnloadParmsIn *in, _UnloadParmsOut *out);
typedef int (*DvrOpenFn)(const _OpenParmsIn *in, _OpenParmsOut *out);
typedef int (*DvrCloseFn)(const _CloseParmsIn *in, _CloseParmsOut *out);
typedef int (*DvrReadFn)(const _ReadParmsIn *in, _ReadParmsOut *out);
typedef int (*DvrWriteFn)(const _WriteParmsIn *in, _WriteParmsOut *out);
typedef int (*DvrSeekFn)(const void *in, void *out); /* resolved, never called */
typedef int (*DvrIoctlFn)(const _IoctlParmsIn *in, _IoctlParmsOut *out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#include "dvrplugin_layout.h"

#endif /* DVRPLUGIN_H */
