// Every thread the host runs for plugins:
//   - the worker thread, one per plugin that asks for it (IOCTL code 1),
//     started at load, before Open;
//   - the reader thread, one per readable plugin (Read with no request),
//     started after Open;
// both kept in the plugin's record and joined just before its Unload;
//   - read-request threads, one per matching readable plugin and request,
//     detached, and counted in ReadRequests so that unloading waits for them.
#pragma once

#include <cstdint>

#include "events/read_requests.h"
#include "plugins/plugin_info.h"

// Starts the worker thread and keeps it in plugin.workerThread. False, with no
// thread, when the plugin exports no IOCTL or the system refuses the thread.
bool ProvideWorkerThread(PLUGININFO &plugin);

// Starts the reader thread and keeps it in plugin.readerThread. False, with no
// thread, when the plugin exports no Read or the system refuses the thread.
bool StartAsyncReader(PLUGININFO &plugin);

// Starts a detached thread that calls `read` once for `request`, with a copy
// of the request's data of its own (null when that copy cannot be made).
// Retired: the plugin is being unloaded and takes no more read threads.
enum class ReadThreadStart { Started, Retired, Refused };
ReadThreadStart startReadThread(DvrReadFn read, uint32_t pluginId, const _EventParmsIn &request,
                     ReadRequests &requests);
