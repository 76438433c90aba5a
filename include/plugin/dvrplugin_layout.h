/*
 * dvrplugin_layout.h - compile-time checks of the record layouts in dvrplugin.h.
 *
 * Included by dvrplugin.h; not meant to be included on its own. On a build with
 * 4-byte pointers (the 32-bit ARM target) every size and offset is the fixed
 * binary interface. On a build with 8-byte pointers the records are the same
 * fields in the same order with natural alignment, and these are the offsets a
 * plugin written from the field list with a plain C compiler gets.
 */
#ifndef DVRPLUGIN_LAYOUT_H
#define DVRPLUGIN_LAYOUT_H

#ifdef __cplusplus
#define DVR_LAYOUT_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define DVR_LAYOUT_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define DVR_CHECK_SIZE(rec, n) DVR_LAYOUT_ASSERT(sizeof(rec) == (n), #rec " size")
#define DVR_CHECK_OFFSET(rec, field, n) \
    DVR_LAYOUT_ASSERT(offsetof(rec, field) == (n), #rec "." #field " offset")


#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit layout */
DVR_CHECK_SIZE(_EventParmsIn, 184);
DVR_CHECK_OFFSET(_EventParmsIn, size, 0);
DVR_CHECK_OFFSET(_EventParmsIn, version, 4);
DVR_CHECK_OFFSET(_EventParmsIn, len, 8);
DVR_CHECK_OFFSET(_EventParmsIn, data, 12);
DVR_CHECK_OFFSET(_EventParmsIn, providerID, 16);
DVR_CHECK_OFFSET(_EventParmsIn, requestKey, 20);
DVR_CHECK_OFFSET(_EventParmsIn, eventType, 24);
DVR_CHECK_OFFSET(_EventParmsIn, flags, 28);
DVR_CHECK_OFFSET(_EventParmsIn, reserved1, 32);
DVR_CHECK_OFFSET(_EventParmsIn, level, 40);
DVR_CHECK_OFFSET(_EventParmsIn, reserved2, 44);
DVR_CHECK_OFFSET(_EventParmsIn, frameType, 50);
DVR_CHECK_OFFSET(_EventParmsIn, reserved3, 51);
DVR_CHECK_SIZE(_EventParmsOut, 12);
DVR_CHECK_OFFSET(_EventParmsOut, size, 0);
DVR_CHECK_OFFSET(_EventParmsOut, version, 4);
DVR_CHECK_OFFSET(_EventParmsOut, result, 8);
DVR_CHECK_SIZE(_WriteParmsIn, 192);
DVR_CHECK_OFFSET(_WriteParmsIn, size, 0);
DVR_CHECK_OFFSET(_WriteParmsIn, version, 4);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved0, 8);
DVR_CHECK_OFFSET(_WriteParmsIn, isRead, 12);
DVR_CHECK_OFFSET(_WriteParmsIn, len, 16);
DVR_CHECK_OFFSET(_WriteParmsIn, data, 20);
DVR_CHECK_OFFSET(_WriteParmsIn, providerID, 24);
DVR_CHECK_OFFSET(_WriteParmsIn, requestKey, 28);
DVR_CHECK_OFFSET(_WriteParmsIn, eventType, 32);
DVR_CHECK_OFFSET(_WriteParmsIn, flags, 36);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved1, 40);
DVR_CHECK_OFFSET(_WriteParmsIn, level, 48);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved2, 52);
DVR_CHECK_OFFSET(_WriteParmsIn, frameType, 58);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved3, 59);
DVR_CHECK_SIZE(_WriteParmsOut, 24);
DVR_CHECK_OFFSET(_WriteParmsOut, error, 16);
DVR_CHECK_OFFSET(_WriteParmsOut, keep, 20);
DVR_CHECK_SIZE(_ReadParmsIn, 28);
DVR_CHECK_OFFSET(_ReadParmsIn, reserved0, 8);
DVR_CHECK_OFFSET(_ReadParmsIn, isRead, 12);
DVR_CHECK_OFFSET(_ReadParmsIn, len, 16);
DVR_CHECK_OFFSET(_ReadParmsIn, data, 20);
DVR_CHECK_OFFSET(_ReadParmsIn, requestKey, 24);
DVR_CHECK_SIZE(_ReadParmsOut, 20);
DVR_CHECK_OFFSET(_ReadParmsOut, reserved, 8);
DVR_CHECK_SIZE(_LoadParmsIn, 24);
DVR_CHECK_OFFSET(_LoadParmsIn, coreHandle, 8);
DVR_CHECK_OFFSET(_LoadParmsIn, eventEntry, 12);
DVR_CHECK_OFFSET(_LoadParmsIn, reserved, 16);
DVR_CHECK_SIZE(_LoadParmsOut, 68);
DVR_CHECK_OFFSET(_LoadParmsOut, pluginId, 8);
DVR_CHECK_OFFSET(_LoadParmsOut, subscribe, 12);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved0, 48);
DVR_CHECK_OFFSET(_LoadParmsOut, wantWorkerThread, 52);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved1, 53);
DVR_CHECK_OFFSET(_LoadParmsOut, readable, 54);
DVR_CHECK_OFFSET(_LoadParmsOut, writable, 55);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved2, 56);
DVR_CHECK_OFFSET(_LoadParmsOut, error, 60);
DVR_CHECK_OFFSET(_LoadParmsOut, defaultLogLevel, 64);
DVR_CHECK_SIZE(_OpenParmsIn, 20);
DVR_CHECK_OFFSET(_OpenParmsIn, reserved, 8);
DVR_CHECK_SIZE(_OpenParmsOut, 16);
DVR_CHECK_OFFSET(_OpenParmsOut, reserved, 8);
DVR_CHECK_SIZE(_CloseParmsIn, 12);
DVR_CHECK_OFFSET(_CloseParmsIn, reserved, 8);
DVR_CHECK_SIZE(_CloseParmsOut, 12);
DVR_CHECK_OFFSET(_CloseParmsOut, error, 8);
DVR_CHECK_SIZE(_UnloadParmsIn, 8);
DVR_CHECK_SIZE(_UnloadParmsOut, 12);
DVR_CHECK_OFFSET(_UnloadParmsOut, error, 8);
DVR_CHECK_SIZE(_IoctlParmsIn, 28);
DVR_CHECK_OFFSET(_IoctlParmsIn, code, 8);
DVR_CHECK_OFFSET(_IoctlParmsIn, paramSize, 12);
DVR_CHECK_OFFSET(_IoctlParmsIn, paramVersion, 16);
DVR_CHECK_OFFSET(_IoctlParmsIn, length, 20);
DVR_CHECK_OFFSET(_IoctlParmsIn, data, 24);
DVR_CHECK_SIZE(_IoctlParmsOut, 28);
DVR_CHECK_OFFSET(_IoctlParmsOut, code, 8);
DVR_CHECK_OFFSET(_IoctlParmsOut, error, 12);
DVR_CHECK_OFFSET(_IoctlParmsOut, keep, 16);
DVR_CHECK_OFFSET(_IoctlParmsOut, paramSize, 20);
DVR_CHECK_OFFSET(_IoctlParmsOut, paramVersion, 24);
#endif

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* 64-bit layout */
DVR_CHECK_SIZE(_EventParmsIn, 192);
DVR_CHECK_OFFSET(_EventParmsIn, size, 0);
DVR_CHECK_OFFSET(_EventParmsIn, version, 4);
DVR_CHECK_OFFSET(_EventParmsIn, len, 8);
DVR_CHECK_OFFSET(_EventParmsIn, data, 16);
DVR_CHECK_OFFSET(_EventParmsIn, providerID, 24);
DVR_CHECK_OFFSET(_EventParmsIn, requestKey, 28);
DVR_CHECK_OFFSET(_EventParmsIn, eventType, 32);
DVR_CHECK_OFFSET(_EventParmsIn, flags, 36);
DVR_CHECK_OFFSET(_EventParmsIn, reserved1, 40);
DVR_CHECK_OFFSET(_EventParmsIn, level, 48);
DVR_CHECK_OFFSET(_EventParmsIn, reserved2, 52);
DVR_CHECK_OFFSET(_EventParmsIn, frameType, 58);
DVR_CHECK_OFFSET(_EventParmsIn, reserved3, 59);
DVR_CHECK_SIZE(_EventParmsOut, 12);
DVR_CHECK_OFFSET(_EventParmsOut, size, 0);
DVR_CHECK_OFFSET(_EventParmsOut, version, 4);
DVR_CHECK_OFFSET(_EventParmsOut, result, 8);
DVR_CHECK_SIZE(_WriteParmsIn, 200);
DVR_CHECK_OFFSET(_WriteParmsIn, size, 0);
DVR_CHECK_OFFSET(_WriteParmsIn, version, 4);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved0, 8);
DVR_CHECK_OFFSET(_WriteParmsIn, isRead, 12);
DVR_CHECK_OFFSET(_WriteParmsIn, len, 16);
DVR_CHECK_OFFSET(_WriteParmsIn, data, 24);
DVR_CHECK_OFFSET(_WriteParmsIn, providerID, 32);
DVR_CHECK_OFFSET(_WriteParmsIn, requestKey, 36);
DVR_CHECK_OFFSET(_WriteParmsIn, eventType, 40);
DVR_CHECK_OFFSET(_WriteParmsIn, flags, 44);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved1, 48);
DVR_CHECK_OFFSET(_WriteParmsIn, level, 56);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved2, 60);
DVR_CHECK_OFFSET(_WriteParmsIn, frameType, 66);
DVR_CHECK_OFFSET(_WriteParmsIn, reserved3, 67);
DVR_CHECK_SIZE(_WriteParmsOut, 24);
DVR_CHECK_OFFSET(_WriteParmsOut, error, 16);
DVR_CHECK_OFFSET(_WriteParmsOut, keep, 20);
DVR_CHECK_SIZE(_ReadParmsIn, 40);
DVR_CHECK_OFFSET(_ReadParmsIn, reserved0, 8);
DVR_CHECK_OFFSET(_ReadParmsIn, isRead, 12);
DVR_CHECK_OFFSET(_ReadParmsIn, len, 16);
DVR_CHECK_OFFSET(_ReadParmsIn, data, 24);
DVR_CHECK_OFFSET(_ReadParmsIn, requestKey, 32);
DVR_CHECK_SIZE(_ReadParmsOut, 20);
DVR_CHECK_OFFSET(_ReadParmsOut, reserved, 8);
DVR_CHECK_SIZE(_LoadParmsIn, 32);
DVR_CHECK_OFFSET(_LoadParmsIn, coreHandle, 8);
DVR_CHECK_OFFSET(_LoadParmsIn, eventEntry, 16);
DVR_CHECK_OFFSET(_LoadParmsIn, reserved, 24);
DVR_CHECK_SIZE(_LoadParmsOut, 68);
DVR_CHECK_OFFSET(_LoadParmsOut, pluginId, 8);
DVR_CHECK_OFFSET(_LoadParmsOut, subscribe, 12);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved0, 48);
DVR_CHECK_OFFSET(_LoadParmsOut, wantWorkerThread, 52);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved1, 53);
DVR_CHECK_OFFSET(_LoadParmsOut, readable, 54);
DVR_CHECK_OFFSET(_LoadParmsOut, writable, 55);
DVR_CHECK_OFFSET(_LoadParmsOut, reserved2, 56);
DVR_CHECK_OFFSET(_LoadParmsOut, error, 60);
DVR_CHECK_OFFSET(_LoadParmsOut, defaultLogLevel, 64);
DVR_CHECK_SIZE(_OpenParmsIn, 20);
DVR_CHECK_OFFSET(_OpenParmsIn, reserved, 8);
DVR_CHECK_SIZE(_OpenParmsOut, 16);
DVR_CHECK_OFFSET(_OpenParmsOut, reserved, 8);
DVR_CHECK_SIZE(_CloseParmsIn, 12);
DVR_CHECK_OFFSET(_CloseParmsIn, reserved, 8);
DVR_CHECK_SIZE(_CloseParmsOut, 12);
DVR_CHECK_OFFSET(_CloseParmsOut, error, 8);
DVR_CHECK_SIZE(_UnloadParmsIn, 8);
DVR_CHECK_SIZE(_UnloadParmsOut, 12);
DVR_CHECK_OFFSET(_UnloadParmsOut, error, 8);
DVR_CHECK_SIZE(_IoctlParmsIn, 32);
DVR_CHECK_OFFSET(_IoctlParmsIn, code, 8);
DVR_CHECK_OFFSET(_IoctlParmsIn, paramSize, 12);
DVR_CHECK_OFFSET(_IoctlParmsIn, paramVersion, 16);
DVR_CHECK_OFFSET(_IoctlParmsIn, length, 20);
DVR_CHECK_OFFSET(_IoctlParmsIn, data, 24);
DVR_CHECK_SIZE(_IoctlParmsOut, 28);
DVR_CHECK_OFFSET(_IoctlParmsOut, code, 8);
DVR_CHECK_OFFSET(_IoctlParmsOut, error, 12);
DVR_CHECK_OFFSET(_IoctlParmsOut, keep, 16);
DVR_CHECK_OFFSET(_IoctlParmsOut, paramSize, 20);
DVR_CHECK_OFFSET(_IoctlParmsOut, paramVersion, 24);
#endif

#if UINTPTR_MAX != 0xFFFFFFFFu && UINTPTR_MAX != 0xFFFFFFFFFFFFFFFFu
#error "dvrplugin.h supports 32-bit and 64-bit pointers only"
#endif

/* Fields before the first pointer sit at the same offsets for either width:
 * every record opens with its size and version. */
#define DVR_CHECK_HEAD(rec) \
    DVR_CHECK_OFFSET(rec, size, 0); \
    DVR_CHECK_OFFSET(rec, version, 4)
DVR_CHECK_HEAD(_WriteParmsIn);
DVR_CHECK_OFFSET(_WriteParmsIn, pad, 13);
DVR_CHECK_HEAD(_WriteParmsOut);
DVR_CHECK_OFFSET(_WriteParmsOut, reserved0, 8);
DVR_CHECK_OFFSET(_WriteParmsOut, reserved1, 12);
DVR_CHECK_HEAD(_ReadParmsIn);
DVR_CHECK_OFFSET(_ReadParmsIn, pad, 13);
DVR_CHECK_HEAD(_ReadParmsOut);
DVR_CHECK_HEAD(_LoadParmsIn);
DVR_CHECK_HEAD(_LoadParmsOut);
DVR_CHECK_HEAD(_OpenParmsIn);
DVR_CHECK_HEAD(_OpenParmsOut);
DVR_CHECK_HEAD(_CloseParmsIn);
DVR_CHECK_HEAD(_CloseParmsOut);
DVR_CHECK_HEAD(_UnloadParmsIn);
DVR_CHECK_HEAD(_UnloadParmsOut);
DVR_CHECK_HEAD(_IoctlParmsIn);
DVR_CHECK_HEAD(_IoctlParmsOut);
#undef DVR_CHECK_HEAD

/* The parent packet header has one layout on every build. */
DVR_CHECK_SIZE(_IpcPacketHeader, 16);
DVR_CHECK_OFFSET(_IpcPacketHeader, length, 0);
DVR_CHECK_OFFSET(_IpcPacketHeader, target, 4);
DVR_CHECK_OFFSET(_IpcPacketHeader, command, 8);
DVR_CHECK_OFFSET(_IpcPacketHeader, tag, 12);
DVR_LAYOUT_ASSERT(DVR_IPC_HEADER_SIZE == sizeof(_IpcPacketHeader), "ipc header size");

/* The event's fields from len on sit at the same relative offsets inside
 * _WriteParmsIn, so the core can carry them over with one copy. */
#define DVR_CHECK_TAIL(field) DVR_LAYOUT_ASSERT( \
    offsetof(_WriteParmsIn, field) - offsetof(_WriteParmsIn, len) == \
    offsetof(_EventParmsIn, field) - offsetof(_EventParmsIn, len), "tail " #field)
DVR_CHECK_TAIL(data);
DVR_CHECK_TAIL(providerID);
DVR_CHECK_TAIL(requestKey);
DVR_CHECK_TAIL(eventType);
DVR_CHECK_TAIL(flags);
DVR_CHECK_TAIL(level);
DVR_CHECK_TAIL(frameType);
DVR_CHECK_TAIL(reserved3);
DVR_LAYOUT_ASSERT(sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, len) ==
                  sizeof(_EventParmsIn) - offsetof(_EventParmsIn, len), "tail size");

#undef DVR_CHECK_TAIL
#undef DVR_CHECK_OFFSET
#undef DVR_CHECK_SIZE

#endif /* DVRPLUGIN_LAYOUT_H */
