/*
 * dvrplugin_helpers.h - small helpers for plugin authors.
 *
 * Optional: everything here is written on top of dvrplugin.h and could be
 * written by hand. It saves the steps every plugin repeats when it talks to
 * the core through the event entry it received in _LoadParmsIn.eventEntry:
 *
 *   dvr_event_in / dvr_event_out   records preset for one event;
 *   dvr_post                       posts an event and returns the core's result;
 *   dvr_log / dvr_vlog             printf-style log messages;
 *   dvr_log_level / dvr_log_enabled
 *                                  the plugin's log threshold;
 *   dvr_release                    gives up a data block kept from Write or
 *                                  IOCTL(IOCTL_UPDATE_CONFIG);
 *   dvr_send_to_parent             sends a copy of some bytes to the parent.
 *
 * Every function is static inline (nothing to link) and safe to call from any
 * thread, as the event entry is. Plain C99 or later, or C++; besides
 * dvrplugin.h it needs only <stdarg.h>, <stdio.h>, <stdlib.h> and <string.h>.
 *
 *     static DvrEventEntry entry;               set in Load from in->eventEntry
 *     dvr_log(entry, MY_ID, 25, "opened %s", name);
 *
 *     _EventParmsIn in = dvr_event_in(MY_ID, DVR_EVENT_VIDEO_FRAME,
 *                                     DVR_FLAG_FLOW_CONTROL);
 *     in.frameType = DVR_FRAME_KEY;
 *     in.data = frame;
 *     in.len = frame_len;
 *     if (dvr_post(entry, &in) != DVR_RESULT_OK) ...
 */
#ifndef DVRPLUGIN_HELPERS_H
#define DVRPLUGIN_HELPERS_H

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dvrplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DVR_PRINTF_FORMAT(format_index, first_arg) \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define DVR_PRINTF_FORMAT(format_index, first_arg)
#endif

/* Size of a log message's text buffer: at most 511 characters and the NUL. */
#define DVR_LOG_MESSAGE_SIZE 512

/*
 * An event record preset for posting: every byte zero, then size, version,
 * providerID (the sender's own ID, or DVR_PROVIDER_TO_CORE), eventType and
 * flags. Fill data, len and whatever else the event needs.
 */
static inline _EventParmsIn dvr_event_in(uint32_t providerID, uint32_t eventType,
                                         uint32_t flags)
{
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.size = (uint32_t)sizeof in;
    in.version = DVR_EVENT_PARMS_VERSION;
    in.providerID = providerID;
    in.eventType = eventType;
    in.flags = flags;
    return in;
}

/* The event entry's answer record, preset: size, version and result 0. */
static inline _EventParmsOut dvr_event_out(void)
{
    _EventParmsOut out;
    out.size = (uint32_t)sizeof out;
    out.version = DVR_EVENT_PARMS_VERSION;
    out.result = DVR_RESULT_OK;
    return out;
}

/*
 * Posts one event and returns out.result: DVR_RESULT_* (0 accepted), or for a
 * log-level query the threshold.
 */
static inline int32_t dvr_post(DvrEventEntry entry, const _EventParmsIn *in)
{
    _EventParmsOut out = dvr_event_out();
    entry(in, &out);
    return out.result;
}

/* The plugin's log threshold: -1 (unset) or 0..100. */
static inline int32_t dvr_log_level(DvrEventEntry entry, uint32_t providerID)
{
    _EventParmsIn in = dvr_event_in(providerID, DVR_EVENT_LOG, DVR_FLAG_LOG_QUERY);
    return dvr_post(entry, &in);
}

/*
 * Non-zero when a message of `level` from providerID would pass its
 * threshold: the threshold is unset (-1) or not above the level. The core
 * applies the same rule to every message it gets.
 */
static inline int dvr_log_enabled(DvrEventEntry entry, uint32_t providerID, int32_t level)
{
    const int32_t threshold = dvr_log_level(entry, providerID);
    return threshold == -1 || level >= threshold;
}

/*
 * Formats a message (vsnprintf) and posts it as a log event: type
 * DVR_EVENT_LOG, flags DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE, the
 * message's level, the NUL-terminated text as data and its length plus one as
 * len. Text beyond 511 characters is cut off. It asks for the threshold first
 * and neither formats nor posts a message the core would drop; an empty text
 * or a null entry posts nothing.
 */
static inline void dvr_vlog(DvrEventEntry entry, uint32_t providerID, int32_t level,
                            const char *format, va_list args) DVR_PRINTF_FORMAT(4, 0);
static inline void dvr_vlog(DvrEventEntry entry, uint32_t providerID, int32_t level,
                            const char *format, va_list args)
{
    char text[DVR_LOG_MESSAGE_SIZE];
    _EventParmsIn in;
    int written;

    if (!entry || !dvr_log_enabled(entry, providerID, level))
        return;
    written = vsnprintf(text, sizeof text, format, args);
    if (written <= 0)
        return;
    in = dvr_event_in(providerID, DVR_EVENT_LOG, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE);
    in.level = level;
    in.data = text;
    in.len = (uint32_t)strlen(text) + 1;
    dvr_post(entry, &in);
}

/* dvr_vlog with the arguments in line: dvr_log(entry, MY_ID, 25, "%d frames", n). */
static inline void dvr_log(DvrEventEntry entry, uint32_t providerID, int32_t level,
                           const char *format, ...) DVR_PRINTF_FORMAT(4, 5);
static inline void dvr_log(DvrEventEntry entry, uint32_t providerID, int32_t level,
                           const char *format, ...)
{
    va_list args;
    va_start(args, format);
    dvr_vlog(entry, providerID, level, format, args);
    va_end(args);
}

/*
 * Gives up the plugin's hold on a data block it kept (keep set in
 * _WriteParmsOut or _IoctlParmsOut): a DVR_EVENT_RELEASE event with the
 * block's pointer, as received, and the plugin's own ID. The last holder's
 * release frees the block; do not touch it afterwards.
 */
static inline void dvr_release(DvrEventEntry entry, uint32_t providerID, void *data)
{
    _EventParmsIn in = dvr_event_in(providerID, DVR_EVENT_RELEASE, 0);
    in.data = data;
    dvr_post(entry, &in);
}

/*
 * Sends `len` bytes to the parent: copies them into a malloc'ed buffer and
 * posts a DVR_EVENT_PARENT_PACKET from `providerID`, which passes the copy
 * to the core. Returns the core's result: DVR_RESULT_OK when the packet is
 * on its way, DVR_RESULT_REFUSED without a parent link (or while the core's
 * send queue is full), DVR_RESULT_NO_MEMORY when the copy failed.
 */
static inline int32_t dvr_send_to_parent(DvrEventEntry entry, uint32_t providerID,
                                         const void *bytes, uint32_t len)
{
    void *copy = len ? malloc(len) : NULL;
    if (!copy)
        return len ? DVR_RESULT_NO_MEMORY : DVR_RESULT_REFUSED;
    memcpy(copy, bytes, len);
    _EventParmsIn in = dvr_event_in(providerID, DVR_EVENT_PARENT_PACKET, 0);
    in.data = copy;
    in.len = len;
    return dvr_post(entry, &in);
}

#undef DVR_PRINTF_FORMAT

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DVRPLUGIN_HELPERS_H */
