#include "packets.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "ipc/packet_stream.h"

namespace {

void putWord(std::vector<uint8_t> &bytes, size_t at, uint32_t word)
{
    for (int b = 0; b < 4; ++b)
        bytes[at + b] = static_cast<uint8_t>(word >> (8 * b));
}

bool parseNumber(const std::string &text, uint32_t &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || number > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(number);
    return true;
}

}  // namespace

std::vector<uint8_t> makePacket(uint32_t target, uint32_t command, const std::string &payload,
                                uint32_t tag)
{
    std::vector<uint8_t> bytes(16 + payload.size());
    putWord(bytes, 0, static_cast<uint32_t>(bytes.size()));
    putWord(bytes, 4, target);
    putWord(bytes, 8, command);
    putWord(bytes, 12, tag);
    for (size_t i = 0; i < payload.size(); ++i)
        bytes[16 + i] = static_cast<uint8_t>(payload[i]);
    return bytes;
}

std::vector<uint8_t> settingsPacket(const std::string &name, const std::string &version,
                                    bool background)
{
    std::string payload = name;
    payload += '\0';
    payload += version;
    payload += '\0';
    payload += background ? "Background:true" : "Background:false";
    return makePacket(0, 7, payload);
}

std::vector<uint8_t> stopPacket()
{
    return makePacket(0, 8, "");
}

bool parsePacketSpec(const std::string &spec, char separator, std::vector<uint8_t> &packet)
{
    const size_t first = spec.find(separator);
    if (first == std::string::npos)
        return false;
    size_t second = spec.find(separator, first + 1);
    const std::string text = second == std::string::npos ? "" : spec.substr(second + 1);
    if (second == std::string::npos)
        second = spec.size();
    uint32_t target = 0, command = 0;
    if (!parseNumber(spec.substr(0, first), target) ||
        !parseNumber(spec.substr(first + 1, second - first - 1), command))
        return false;
    if (16 + text.size() > 65536)
        return false;
    packet = makePacket(target, command, text);
    return true;
}

std::string describePacket(const std::vector<uint8_t> &bytes)
{
    char line[160];
    if (bytes.size() < 16) {
        std::snprintf(line, sizeof line, "%zu bytes from the core (no header)", bytes.size());
        return line;
    }
    const PacketHeader header = readHeader(bytes.data());
    std::snprintf(line, sizeof line,
                  "%zu bytes from the core: length %u target 0x%08X command %u tag %u",
                  bytes.size(), header.length, header.target, header.command, header.tag);
    std::string text = line;
    if (bytes.size() == 16)
        return text;
    bool printable = true;
    for (size_t i = 16; i < bytes.size() && printable; ++i)
        printable = std::isprint(bytes[i]) || bytes[i] == '\t';
    text += printable ? ": " : ": hex ";
    const size_t shown = std::min<size_t>(bytes.size(), 16 + 512);
    for (size_t i = 16; i < shown; ++i) {
        if (printable) {
            text += static_cast<char>(bytes[i]);
        } else {
            std::snprintf(line, sizeof line, "%02x", bytes[i]);
            text += line;
        }
    }
    if (shown < bytes.size())
        text += "...";
    return text;
}
