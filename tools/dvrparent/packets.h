// Packets as the parent writes and reads them: a 16-byte header of
// little-endian words (length, target, command, tag) and the payload.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A packet with the given header words and payload.
std::vector<uint8_t> makePacket(uint32_t target, uint32_t command,
                                const std::string &payload = "", uint32_t tag = 0);
// Settings: file name NUL version NUL "Background:true" or "Background:false".
std::vector<uint8_t> settingsPacket(const std::string &name, const std::string &version,
                                    bool background);
std::vector<uint8_t> stopPacket();
// "TARGET<sep>COMMAND[<sep>TEXT]", numbers in C notation; false when malformed.
bool parsePacketSpec(const std::string &spec, char separator, std::vector<uint8_t> &packet);
// One line about a packet from the core: its size, header and payload (text,
// or hex when it is not printable).
std::string describePacket(const std::vector<uint8_t> &bytes);
