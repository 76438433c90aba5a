#include "ipc/packet_stream.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t readWord(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

}  // namespace

PacketHeader readHeader(const uint8_t *bytes)
{
    return {readWord(bytes), readWord(bytes + 4), readWord(bytes + 8), readWord(bytes + 12)};
}

ParentSettings parseSettings(const uint8_t *payload, uint32_t length)
{
    ParentSettings settings;
    const uint8_t *const end = payload + length;
    const uint8_t *start = payload;
    for (;;) {
        const uint8_t *const stop = std::find(start, end, uint8_t{0});
        const std::string text(reinterpret_cast<const char *>(start), stop - start);
        ++settings.fields;
        if (settings.fields == 1)
            settings.filename = text;
        else if (settings.fields == 2)
            settings.version = text;
        else
            settings.background = text == "Background:true";
        if (stop == end || settings.fields == 3)
            return settings;
        start = stop + 1;
    }
}

void PacketStream::received(uint32_t count, Sink &sink)
{
    heldBytes += std::min(count, freeBytes());
    uint32_t offset = 0;
    while (heldBytes - offset >= kHeaderSize) {
        const PacketHeader header = readHeader(buffer.data() + offset);
        // A length below the header's own size would never move the stream
        // on; above the buffer it could never be complete. Either way the
        // stream has lost its place: drop what is buffered and start afresh
        // with the next bytes that arrive.
        if (header.length < kHeaderSize || header.length > kCapacity) {
            heldBytes = 0;
            sink.onBadLength(header.length);
            return;
        }
        if (header.length > heldBytes - offset)
            break;
        sink.onPacket(header, buffer.data() + offset);
        offset += header.length;
        // Plugins may read the header as a record: every packet starts on a
        // word boundary. Packets of whole words need no move until the end.
        if (offset % kAlignment != 0)
            offset = dropFront(offset);
    }
    dropFront(offset);
}

uint32_t PacketStream::dropFront(uint32_t count)
{
    if (count > 0) {
        std::memmove(buffer.data(), buffer.data() + count, heldBytes - count);
        heldBytes -= count;
    }
    return 0;
}
