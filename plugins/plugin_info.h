// The core's record of one loaded plugin.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "plugin/dvrplugin.h"

// Owns a handle from dlopen; closes it when destroyed unless told to leave
// the library mapped for the rest of the process.
class LibraryHandle {
public:
    LibraryHandle() = default;
    explicit LibraryHandle(void *handle) : handle(handle) {}
    LibraryHandle(LibraryHandle &&other) noexcept : handle(other.handle) { other.handle = nullptr; }
    LibraryHandle &operator=(LibraryHandle &&other) noexcept;
    LibraryHandle(const LibraryHandle &) = delete;
    LibraryHandle &operator=(const LibraryHandle &) = delete;
    ~LibraryHandle() { close(); }

    void *get() const { return handle; }
    void *symbol(const char *name) const;
    void close();
    // Forgets the handle without closing it: the library stays mapped.
    void leaveMapped() { handle = nullptr; }

private:
    void *handle = nullptr;
};

// One accepted plugin: its library, entry points, threads and load output.
// Moved, never copied; its threads are joined before it is destroyed.
struct PLUGININFO {
    LibraryHandle library;
    DvrLoadFn Load = nullptr;
    DvrUnloadFn Unload = nullptr;
    DvrOpenFn Open = nullptr;
    DvrCloseFn Close = nullptr;
    DvrReadFn Read = nullptr;
    DvrWriteFn Write = nullptr;
    DvrSeekFn Seek = nullptr;
    DvrIoctlFn IOCTL = nullptr;
    std::thread workerThread;
    std::thread readerThread;
    _LoadParmsOut loadOut{};
    std::string fileName;
    int32_t openCode = 0;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;

    PLUGININFO() = default;
    PLUGININFO(PLUGININFO &&) = default;
    PLUGININFO &operator=(PLUGININFO &&) = default;
    uint32_t pluginId() const { return loadOut.pluginId; }
};
