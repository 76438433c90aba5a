/*
 * dvrplugin_entry.h - the entry points a plugin exports.
 *
 * Include this in the plugin's source and define the entry points you need
 * with exactly these names and C linkage. Only Load is required; the core
 * never calls an entry point the plugin does not export (it counts as having
 * returned DVR_ENTRY_NOT_EXPORTED). Build the plugin as a shared object with
 * the extension ".so" and put it in the "plugins" directory beside the core's
 * executable.
 *
 * Threads. The core calls:
 *   Load, Open, Close, Unload  on its main thread, one plugin at a time;
 *   Write and IOCTL(IOCTL_UPDATE_CONFIG)
 *                              on its delivery thread (the main thread), one
 *                              event at a time, in queue order;
 *   IOCTL(IOCTL_IPC)           on its I/O thread;
 *   IOCTL(IOCTL_RUN_WORKER)    on the plugin's worker thread, once;
 *   Read                       on the plugin's reader thread (once), and on a
 *                              fresh thread for every read request.
 * These may overlap: a plugin does its own locking. The core never holds one
 * of its locks while it calls a plugin, so every entry point may call the
 * event entry.
 *
 * Order for one plugin: Load; IOCTL(IOCTL_RUN_WORKER) on the worker thread if
 * asked for; Open; Read on the reader thread if readable; then Write, IOCTL
 * and Read as events, configuration documents, parent packets and read
 * requests arrive; at shutdown Close, then (after every plugin is closed and
 * this plugin's threads have been joined) Unload, then the library is closed.
 */
#ifndef DVRPLUGIN_ENTRY_H
#define DVRPLUGIN_ENTRY_H

#include "dvrplugin.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DVR_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define DVR_PLUGIN_EXPORT
#endif

/*
 * Load: called once, right after the library is opened. Keep in->eventEntry.
 * Fill out->pluginId, out->subscribe, the flag bytes and defaultLogLevel;
 * return 0 with out->error 0 to be accepted. Anything else refuses the
 * plugin and the library is closed without Unload.
 */
DVR_PLUGIN_EXPORT int Load(const _LoadParmsIn *in, _LoadParmsOut *out);

/*
 * Open: called once, after every plugin has been loaded. The return value is
 * reported in the core's status; a failing Open changes nothing else.
 */
DVR_PLUGIN_EXPORT int Open(const _OpenParmsIn *in, _OpenParmsOut *out);

/*
 * Close: called once at shutdown, in close order (larger subscribe[0x20]
 * words first). After it returns, make the worker IOCTL, the reader thread's
 * Read and any read-request Read return: the core waits for them.
 */
DVR_PLUGIN_EXPORT int Close(const _CloseParmsIn *in, _CloseParmsOut *out);

/* Unload: called once, after every plugin is closed and this one's threads have ended. */
DVR_PLUGIN_EXPORT int Unload(const _UnloadParmsIn *in, _UnloadParmsOut *out);

/*
 * Read: the reader thread (requestKey 0, no data) or one read request. The
 * data is the thread's own copy, valid until Read returns. Post answers with
 * the request's key; the return value is ignored.
 */
DVR_PLUGIN_EXPORT int Read(const _ReadParmsIn *in, _ReadParmsOut *out);

/*
 * Write: one queued event that matches the plugin's subscriptions. in->data
 * is shared with every other receiver: read it, never free or change it. Set
 * out->keep to hold it past the call, and release it later with an event of
 * type DVR_EVENT_RELEASE carrying the same data pointer and your own ID.
 */
DVR_PLUGIN_EXPORT int Write(const _WriteParmsIn *in, _WriteParmsOut *out);

/* Seek: looked up, never called. */
DVR_PLUGIN_EXPORT int Seek(const void *in, void *out);

/*
 * IOCTL: IOCTL_RUN_WORKER (run until Close), IOCTL_UPDATE_CONFIG (an XML
 * document; set out->keep to hold its block as with Write) or IOCTL_IPC (a
 * parent packet, header included, valid only during the call and not to be
 * changed).
 */
DVR_PLUGIN_EXPORT int IOCTL(const _IoctlParmsIn *in, _IoctlParmsOut *out);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DVRPLUGIN_ENTRY_H */
