// The packet stream fed a parent's stream in records of random sizes. Every
// packet handed out must lie inside the stream's buffer, start on a word
// boundary, agree with its own header, and be the next packet of a reference
// cut of the same bytes; bad lengths must come where the reference has them;
// after each record the bytes held must be the reference's. The sink
// scribbles over every packet it is handed, which must not derail the stream.
#include <cstring>
#include <memory>

#include "ipc/packet_stream.h"
#include "packet_model.h"

namespace {

class CheckingSink : public PacketStream::Sink {
public:
    CheckingSink(const uint8_t *buffer, const std::vector<CutItem> &expected)
        : buffer(buffer), expected(expected) {}

    void onPacket(const PacketHeader &header, uint8_t *packet) override
    {
        fuzzCheck(packet >= buffer && packet + DVR_IPC_HEADER_SIZE <= buffer + kCapacity,
                  "packet header inside the buffer");
        fuzzCheck(header.length >= DVR_IPC_HEADER_SIZE && header.length <= kCapacity,
                  "packet length within 16..65536");
        fuzzCheck(size_t(packet - buffer) + header.length <= kCapacity, "packet inside the buffer");
        fuzzCheck((packet - buffer) % 4 == 0, "packet on a word boundary");
        const PacketHeader read = readHeader(packet);
        fuzzCheck(read.length == header.length && read.target == header.target &&
                      read.command == header.command && read.tag == header.tag,
                  "header as the packet's first bytes say");
        fuzzCheck(next < expected.size() && !expected[next].badLength,
                  "a packet where the reference cut has one");
        const CutItem &item = expected[next++];
        fuzzCheck(item.length == header.length &&
                      std::memcmp(item.bytes.data(), packet, header.length) == 0,
                  "packet bytes as the reference cut has them");
        std::memset(packet, 0xA5, header.length);  // the sink may change what it was given
    }

    void onBadLength(uint32_t length) override
    {
        fuzzCheck(next < expected.size() && expected[next].badLength &&
                      expected[next].length == length,
                  "a bad length where the reference cut has it");
        ++next;
    }

    bool allSeen() const { return next == expected.size(); }

private:
    static constexpr size_t kCapacity = PacketStream::kCapacity;
    const uint8_t *const buffer;
    const std::vector<CutItem> &expected;
    size_t next = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const ParentStream parent = makeParentStream(
        input, [](FuzzedDataProvider &in) { return in.ConsumeIntegral<uint32_t>(); });

    auto stream = std::make_unique<PacketStream>();
    const uint8_t *const buffer = stream->freeSpace();
    ReferenceCut reference;
    std::vector<CutItem> expected;
    CheckingSink sink(buffer, expected);

    size_t at = 0;
    for (const size_t record : parent.records) {
        fuzzCheck(stream->freeBytes() > 0, "room for the next receive");
        fuzzCheck(stream->freeSpace() == buffer + stream->receivedBytes(), "receives append");
        const size_t kept = reference.receive(parent.bytes.data() + at, record, expected);
        fuzzCheck(kept == std::min<size_t>(record, stream->freeBytes()),
                  "room as the reference has it");
        std::memcpy(stream->freeSpace(), parent.bytes.data() + at, kept);
        stream->received(static_cast<uint32_t>(kept), sink);
        at += record;

        fuzzCheck(sink.allSeen(), "every packet of the record handed out");
        const std::vector<uint8_t> &held = reference.bytesHeld();
        fuzzCheck(stream->receivedBytes() == held.size() &&
                      std::memcmp(buffer, held.data(), held.size()) == 0,
                  "the bytes held as the reference holds them");
    }
    return 0;
}
