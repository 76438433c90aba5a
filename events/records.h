// The records the core builds for plugin calls, each filled by a named
// preset: size and version set, every other field as the call expects.
#pragma once

#include <cstddef>
#include <cstring>

#include "plugin/dvrplugin.h"

// A record with its size and version set and every other field zero: the
// preset of Load's answer and of every Open, Close and Unload record.
template <typename Record>
Record emptyRecord(uint32_t version = DVR_RECORD_VERSION)
{
    Record record;
    std::memset(&record, 0, sizeof record);
    record.size = sizeof record;
    record.version = version;
    return record;
}

// Write's input for one queued event: the event's fields from `len` on, at
// the same relative offsets.
inline _WriteParmsIn writeRecordFor(const _EventParmsIn &event)
{
    _WriteParmsIn record;
    std::memset(&record, 0, offsetof(_WriteParmsIn, len));
    record.size = sizeof record;
    record.version = DVR_RECORD_VERSION;
    std::memcpy(&record.len, &event.len, sizeof event - offsetof(_EventParmsIn, len));
    return record;
}

// Write's output: error 0, keep 0.
inline _WriteParmsOut writeAnswerPreset()
{
    _WriteParmsOut out{};
    out.size = sizeof out;
    out.version = DVR_RECORD_VERSION;
    return out;
}

// IOCTL's input for a code without data: an 8-byte parameter block.
inline _IoctlParmsIn ioctlRecord(uint32_t code)
{
    _IoctlParmsIn in{};
    in.size = sizeof in;
    in.version = DVR_RECORD_VERSION;
    in.code = code;
    in.paramSize = 8;
    in.paramVersion = 1;
    return in;
}

// IOCTL's input for a code that carries data: a 16-byte parameter block with
// the length and the pointer (either may be 0 or null).
inline _IoctlParmsIn ioctlRecord(uint32_t code, uint32_t length, void *data)
{
    _IoctlParmsIn in = ioctlRecord(code);
    in.paramSize = 16;
    in.length = length;
    in.data = data;
    return in;
}

// IOCTL's output: the input's code, error 0, keep 0.
inline _IoctlParmsOut ioctlAnswerPreset(uint32_t code)
{
    _IoctlParmsOut out{};
    out.size = sizeof out;
    out.version = DVR_RECORD_VERSION;
    out.code = code;
    out.paramSize = 8;
    out.paramVersion = 1;
    return out;
}

// Read's input: one request's data (the reading thread's own copy) and key;
// no data and key 0 on a plugin's reader thread.
inline _ReadParmsIn readRecord(uint32_t len, void *data, uint32_t requestKey)
{
    _ReadParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_RECORD_VERSION;
    in.isRead = 1;
    in.len = len;
    in.data = data;
    in.requestKey = requestKey;
    return in;
}

// Read's output: all zero; the core does not read it back.
inline _ReadParmsOut readAnswerPreset()
{
    _ReadParmsOut out;
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = DVR_RECORD_VERSION;
    return out;
}
