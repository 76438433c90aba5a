// The threads the host runs for plugins: one worker thread per plugin that
// asks for it (IOCTL code 1, started at load, before Open) and one reader
// thread per readable plugin (Read with no request, started after Open).
// Both are joined by unloadPlugins just before the plugin's Unload.
#pragma once

#include "plugins/plugin_info.h"

// Starts the worker thread and keeps it in plugin.workerThread. False, with no
// thread, when the plugin exports no IOCTL or the system refuses the thread.
bool ProvideWorkerThread(PLUGININFO &plugin);

// Starts the reader thread and keeps it in plugin.readerThread. False, with no
// thread, when the plugin exports no Read or the system refuses the thread.
bool StartAsyncReader(PLUGININFO &plugin);
