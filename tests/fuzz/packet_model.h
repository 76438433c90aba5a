// The parent's byte stream for the packet targets: a stream of packets (some
// whole, some cut short, some with lengths no stream can hold) and the sizes
// of the records it arrives in, both built from the fuzzer's input; and a
// reference cut of that stream, as simple as it can be, to compare the real
// one with.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "plugin/dvrplugin.h"

inline void putWord(std::vector<uint8_t> &bytes, uint32_t word)
{
    for (int b = 0; b < 4; ++b)
        bytes.push_back(static_cast<uint8_t>(word >> (8 * b)));
}

inline uint32_t wordAt(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

// The bytes the parent writes, and the records it writes them in.
struct ParentStream {
    std::vector<uint8_t> bytes;
    std::vector<size_t> records;  // sizes, adding up to bytes.size()
};

namespace packet_model {

constexpr size_t kMaxStreamBytes = 512 * 1024;  // keeps one input fast

// A length field: mostly the edges (16, the capacity and its neighbours),
// sometimes anything.
inline uint32_t packetLength(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return DVR_IPC_HEADER_SIZE;
    case 1: return DVR_IPC_MAX_PACKET;
    case 2: return DVR_IPC_MAX_PACKET - input.ConsumeIntegralInRange<uint32_t>(1, 64);
    case 3: return input.ConsumeIntegralInRange<uint32_t>(DVR_IPC_HEADER_SIZE, 4096);
    default: return input.ConsumeIntegralInRange<uint32_t>(DVR_IPC_HEADER_SIZE, 200);
    }
}

// A target word: often one whose top 12 bits name a plugin of the parent
// link's target (IDs 0x0005xxxx to 0x0008xxxx), with any low bits.
inline uint32_t packetTarget(FuzzedDataProvider &input)
{
    if (input.ConsumeBool())
        return input.ConsumeIntegral<uint32_t>();
    return input.ConsumeIntegralInRange<uint32_t>(5, 8) << 20 |
           input.ConsumeIntegralInRange<uint32_t>(0, 0xFFFFF);
}

// One packet: its header words from the input, its payload from the input
// and then a pattern, so that a small input makes a large packet. Settings
// are often exactly the input's strings, with no pattern after them.
inline void appendPacket(FuzzedDataProvider &input, std::vector<uint8_t> &bytes, uint32_t command)
{
    if (command == DVR_IPC_SETTINGS && input.ConsumeBool()) {
        const auto text = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 200));
        putWord(bytes, DVR_IPC_HEADER_SIZE + static_cast<uint32_t>(text.size()));
        putWord(bytes, packetTarget(input));
        putWord(bytes, command);
        putWord(bytes, input.ConsumeIntegral<uint32_t>());
        bytes.insert(bytes.end(), text.begin(), text.end());
        return;
    }
    const uint32_t length = packetLength(input);
    putWord(bytes, length);
    putWord(bytes, packetTarget(input));
    putWord(bytes, command);
    putWord(bytes, input.ConsumeIntegral<uint32_t>());  // tag
    const size_t payload = length - DVR_IPC_HEADER_SIZE;
    std::vector<uint8_t> given =
        input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, payload));
    bytes.insert(bytes.end(), given.begin(), given.end());
    for (size_t i = given.size(); i < payload; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 31 + length));
}

inline uint32_t badLength(FuzzedDataProvider &input)
{
    return input.ConsumeBool()
               ? input.ConsumeIntegralInRange<uint32_t>(0, DVR_IPC_HEADER_SIZE - 1)
               : input.ConsumeIntegralInRange<uint32_t>(DVR_IPC_MAX_PACKET + 1, UINT32_MAX);
}

// Records a little larger than the buffer, at most: a sequenced-packet socket
// takes no record larger than its send buffer.
constexpr size_t kMaxRecord = DVR_IPC_MAX_PACKET + 4096;

inline size_t recordSize(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return input.ConsumeIntegralInRange<size_t>(1, 16);
    case 1: return input.ConsumeIntegralInRange<size_t>(1, 300);
    case 2: return input.ConsumeIntegralInRange<size_t>(1, 4096);
    default: return input.ConsumeIntegralInRange<size_t>(1, kMaxRecord);
    }
}

}  // namespace packet_model

// A stream of packets whose commands `command` picks (the packet stream
// does not care; the parent link does), interleaved with stray bytes and bad
// lengths, cut into records of random sizes. Every record has at least one
// byte: an empty record is the end of the stream on a sequenced-packet socket.
template <typename PickCommand>
ParentStream makeParentStream(FuzzedDataProvider &input, PickCommand command)
{
    using namespace packet_model;
    ParentStream stream;
    const int items = input.ConsumeIntegralInRange(1, 48);
    for (int i = 0; i < items && stream.bytes.size() < kMaxStreamBytes; ++i) {
        switch (input.ConsumeIntegralInRange(0, 9)) {
        case 0: {  // stray bytes, which may put the stream off its step
            const auto stray = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(1, 40));
            stream.bytes.insert(stream.bytes.end(), stray.begin(), stray.end());
            break;
        }
        case 1:  // a header whose length no stream can take
            putWord(stream.bytes, badLength(input));
            putWord(stream.bytes, input.ConsumeIntegral<uint32_t>());
            putWord(stream.bytes, command(input));
            break;
        default:
            appendPacket(input, stream.bytes, command(input));
        }
    }
    for (size_t left = stream.bytes.size(); left > 0;) {
        const size_t size =
            std::min(input.remaining_bytes() ? recordSize(input) : kMaxRecord, left);
        stream.records.push_back(size);
        left -= size;
    }
    return stream;
}

// What a stream cut into packets gives: a packet, or a bad length after
// which everything buffered was dropped.
struct CutItem {
    bool badLength;
    uint32_t length;
    std::vector<uint8_t> bytes;  // the whole packet, header first
};

// The reference cut: bytes held in a plain vector, packets cut from its
// front, a bad length drops it all. A receive takes no more than the room a
// 64 KiB buffer has left; the socket drops the rest of the record.
class ReferenceCut {
public:
    // Takes one record; returns how many of its bytes were kept.
    size_t receive(const uint8_t *record, size_t size, std::vector<CutItem> &out)
    {
        const size_t kept = std::min(size, DVR_IPC_MAX_PACKET - held.size());
        held.insert(held.end(), record, record + kept);
        while (held.size() >= DVR_IPC_HEADER_SIZE) {
            const uint32_t length = wordAt(held.data());
            if (length < DVR_IPC_HEADER_SIZE || length > DVR_IPC_MAX_PACKET) {
                out.push_back({true, length, {}});
                held.clear();
                break;
            }
            if (length > held.size())
                break;
            out.push_back({false, length, {held.begin(), held.begin() + length}});
            held.erase(held.begin(), held.begin() + length);
        }
        return kept;
    }
    const std::vector<uint8_t> &bytesHeld() const { return held; }

private:
    std::vector<uint8_t> held;
};
