// Cutting the parent's byte stream into packets, and the settings payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ipc/packet_stream.h"

namespace {

std::vector<uint8_t> packet(uint32_t length, uint32_t target, uint32_t command,
                            const std::string &payload = "")
{
    std::vector<uint8_t> bytes(std::max<uint32_t>(length, 16), 0);
    const uint32_t words[4] = {length, target, command, 0x7A7A7A7A};
    for (int w = 0; w < 4; ++w)
        for (int b = 0; b < 4; ++b)
            bytes[w * 4 + b] = static_cast<uint8_t>(words[w] >> (8 * b));
    std::copy(payload.begin(), payload.end(), bytes.begin() + 16);
    bytes.resize(length < 16 ? 16 : length);
    return bytes;
}

struct Seen {
    PacketHeader header;
    std::vector<uint8_t> bytes;
    bool aligned;
};

class Recorder : public PacketStream::Sink {
public:
    void onPacket(const PacketHeader &header, uint8_t *bytes) override
    {
        const bool aligned = reinterpret_cast<uintptr_t>(bytes) % 4 == 0;
        packets.push_back({header, {bytes, bytes + header.length}, aligned});
    }
    void onBadLength(uint32_t length) override { badLengths.push_back(length); }

    std::vector<Seen> packets;
    std::vector<uint32_t> badLengths;
};

// Feeds `bytes` in receives of the given sizes (the last one takes the rest).
void feed(PacketStream &stream, Recorder &sink, const std::vector<uint8_t> &bytes,
          std::vector<size_t> sizes = {})
{
    size_t at = 0, next = 0;
    while (at < bytes.size()) {
        size_t size = next < sizes.size() ? sizes[next++] : bytes.size() - at;
        size = std::min({size, bytes.size() - at, size_t{stream.freeBytes()}});
        std::memcpy(stream.freeSpace(), bytes.data() + at, size);
        stream.received(static_cast<uint32_t>(size), sink);
        at += size;
    }
}

std::vector<uint8_t> join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(PacketStream, PacketsComeOutWholeAndInOrderHoweverTheBytesArrive)
{
    const auto first = packet(100, 0x00500000, 42, "first");
    const auto second = packet(17, 0x00600000, 43, "x");
    const auto both = join({first, second});

    // Two in one receive.
    {
        PacketStream stream;
        Recorder sink;
        feed(stream, sink, both);
        ASSERT_EQ(sink.packets.size(), 2u);
        EXPECT_EQ(sink.packets[0].bytes, first);
        EXPECT_EQ(sink.packets[1].bytes, second);
        EXPECT_EQ(sink.packets[1].header.command, 43u);
        EXPECT_EQ(stream.receivedBytes(), 0u);
    }
    // 10 + 90: nothing until the last byte is in.
    {
        PacketStream stream;
        Recorder sink;
        feed(stream, sink, first, {10});
        ASSERT_EQ(sink.packets.size(), 1u);
    }
    // Split at every byte.
    for (size_t split = 1; split < both.size(); ++split) {
        PacketStream stream;
        Recorder sink;
        feed(stream, sink, both, {split});
        ASSERT_EQ(sink.packets.size(), 2u) << "split at " << split;
        EXPECT_EQ(sink.packets[0].bytes, first);
        EXPECT_EQ(sink.packets[1].bytes, second);
        EXPECT_TRUE(sink.packets[1].aligned);
    }
}

TEST(PacketStream, LengthsOutsideSixteenTo65536DropEverythingBuffered)
{
    // The largest packet fits exactly.
    {
        PacketStream stream;
        Recorder sink;
        feed(stream, sink, packet(65536, 1, 9));
        ASSERT_EQ(sink.packets.size(), 1u);
        EXPECT_EQ(sink.packets[0].header.length, 65536u);
        EXPECT_TRUE(sink.badLengths.empty());
    }
    std::vector<uint32_t> bad = {65537, 0xFFFFFFFF};
    for (uint32_t length = 0; length < 16; ++length)
        bad.push_back(length);
    for (const uint32_t length : bad) {
        PacketStream stream;
        Recorder sink;
        // A good packet, then the bad header with a partial packet behind it:
        // the good one is delivered, the bad one reported as soon as its
        // header is in, and nothing stays buffered.
        const auto good = packet(20, 1, 9, "abcd");
        auto tail = packet(16, 2, 9);
        auto bytes = join({good, packet(16, 3, 9), tail});
        bytes[20] = static_cast<uint8_t>(length);
        bytes[21] = static_cast<uint8_t>(length >> 8);
        bytes[22] = static_cast<uint8_t>(length >> 16);
        bytes[23] = static_cast<uint8_t>(length >> 24);
        bytes.resize(bytes.size() - 4);
        feed(stream, sink, bytes);
        ASSERT_EQ(sink.packets.size(), 1u) << length;
        EXPECT_EQ(sink.badLengths, std::vector<uint32_t>{length});
        EXPECT_EQ(stream.receivedBytes(), 0u);
        // Receiving goes on with the next bytes.
        feed(stream, sink, good);
        EXPECT_EQ(sink.packets.size(), 2u);
    }
}

TEST(PacketStream, ARandomStreamOfPacketsLosesAndMisroutesNothing)
{
    std::mt19937 random(20261209);
    std::vector<std::vector<uint8_t>> sent;
    std::vector<uint8_t> stream_bytes;
    for (int i = 0; i < 100000; ++i) {
        // Mostly small packets, now and then a big one.
        const uint32_t length = random() % 256 == 0 ? 16 + random() % (65536 - 15)
                                                  : 16 + random() % 200;
        auto bytes = packet(length, static_cast<uint32_t>(random()), 100 + random() % 50);
        for (uint32_t b = 16; b < length; ++b)
            bytes[b] = static_cast<uint8_t>(random());
        stream_bytes.insert(stream_bytes.end(), bytes.begin(), bytes.end());
        sent.push_back(std::move(bytes));
    }
    std::vector<size_t> sizes;
    for (size_t total = 0; total < stream_bytes.size(); total += sizes.back())
        sizes.push_back(1 + random() % 70000);

    PacketStream stream;
    Recorder sink;
    feed(stream, sink, stream_bytes, sizes);
    ASSERT_EQ(sink.packets.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sink.packets[i].bytes, sent[i]) << "packet " << i;
        ASSERT_EQ(sink.packets[i].header.target, readHeader(sent[i].data()).target);
        ASSERT_TRUE(sink.packets[i].aligned);
    }
    EXPECT_TRUE(sink.badLengths.empty());
}

TEST(PacketStream, RandomBytesNeverReadOutsideTheBuffer)
{
    std::mt19937 random(7);
    PacketStream stream;
    Recorder sink;
    for (int round = 0; round < 20000; ++round) {
        const uint32_t size = 1 + random() % std::min<uint32_t>(stream.freeBytes(), 4096);
        for (uint32_t b = 0; b < size; ++b)
            stream.freeSpace()[b] = static_cast<uint8_t>(random() % 4 ? random() % 3 : random());
        stream.received(size, sink);
        ASSERT_LT(stream.receivedBytes(), PacketStream::kCapacity);
    }
    for (const Seen &seen : sink.packets) {
        EXPECT_GE(seen.header.length, 16u);
        EXPECT_LE(seen.header.length, 65536u);
    }
    EXPECT_FALSE(sink.badLengths.empty());
}

TEST(ParentSettings, StringsByPosition)
{
    auto parse = [](const std::string &payload) {
        return parseSettings(reinterpret_cast<const uint8_t *>(payload.data()),
                             static_cast<uint32_t>(payload.size()));
    };
    using namespace std::string_literals;
    ParentSettings s = parse("a\0" "1.0\0" "Background:true"s);
    EXPECT_EQ(s.filename, "a");
    EXPECT_EQ(s.version, "1.0");
    EXPECT_TRUE(s.background);
    EXPECT_EQ(s.fields, 3);

    s = parse("a\0" "1.0\0" "Background:truex\0" "more"s);
    EXPECT_FALSE(s.background);
    EXPECT_EQ(s.fields, 3);

    s = parse("a"s);
    EXPECT_EQ(s.filename, "a");
    EXPECT_EQ(s.fields, 1);

    s = parse("a\0"s);  // a trailing NUL adds an empty string
    EXPECT_EQ(s.fields, 2);
    EXPECT_EQ(s.version, "");

    const std::string longName(70000, 'n');  // no NUL at all
    s = parse(longName);
    EXPECT_EQ(s.filename, longName);
    EXPECT_EQ(s.fields, 1);
}

}  // namespace
