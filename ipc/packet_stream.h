// The parent's byte stream cut into packets, without any socket: the bytes
// of each receive are appended to one 64 KiB buffer, and every packet whose
// bytes are all in is handed on in place, in order, then dropped from the
// buffer. Also the settings packet's payload, split into its strings.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "plugin/dvrplugin.h"

// One packet's header words, read little-endian whatever the host order.
struct PacketHeader {
    uint32_t length = 0;
    uint32_t target = 0;
    uint32_t command = 0;
    uint32_t tag = 0;
};
PacketHeader readHeader(const uint8_t *bytes);

// What a settings packet's payload says. Only the strings that are present
// count: `fields` is how many there were (1: only the file name).
struct ParentSettings {
    std::string filename;
    std::string version;
    bool background = false;
    int fields = 0;
};
// Splits the payload at NUL bytes; the end of the payload ends the last
// string, so a trailing NUL adds an empty one. Bytes after the third string
// are ignored.
ParentSettings parseSettings(const uint8_t *payload, uint32_t length);

class PacketStream {
public:
    static constexpr uint32_t kCapacity = DVR_IPC_MAX_PACKET;
    static constexpr uint32_t kHeaderSize = DVR_IPC_HEADER_SIZE;

    // Receives each packet handed on, and hears about bad lengths.
    class Sink {
    public:
        // `packet` points at the header inside the buffer, valid during the
        // call only; `header.length` bytes are there.
        virtual void onPacket(const PacketHeader &header, uint8_t *packet) = 0;
        // A length below 16 or above 65,536: everything buffered was dropped.
        virtual void onBadLength(uint32_t length) = 0;

    protected:
        ~Sink() = default;
    };

    // Where the next receive goes, and how much room it has (never 0).
    uint8_t *freeSpace() { return buffer.data() + heldBytes; }
    uint32_t freeBytes() const { return kCapacity - heldBytes; }
    uint32_t receivedBytes() const { return heldBytes; }

    // Takes `count` bytes the receive wrote at freeSpace() and hands every
    // complete packet to `sink`. A packet's length is taken before the sink
    // sees it, so a sink that changes the bytes cannot derail the stream.
    void received(uint32_t count, Sink &sink);

private:
    static constexpr uint32_t kAlignment = 4;
    // Drops the first `count` bytes; returns the new offset of what follows (0).
    uint32_t dropFront(uint32_t count);

    alignas(kAlignment) std::array<uint8_t, kCapacity> buffer{};
    uint32_t heldBytes = 0;
};
