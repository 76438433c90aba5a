// The parts of a 32-bit provider (plugin) ID that the core interprets.
#pragma once

#include <cstdint>

// Bits 16-27 of an ID select its source's entry in the log-level tables.
constexpr uint32_t providerIndex(uint32_t providerID)
{
    return (providerID >> 16) & 0xFFFu;
}

// An index of 0x100 or more (any of bits 24-27 set) lies beyond every table
// size the core can be built with; such a plugin is refused at load.
constexpr bool providerIndexTooLarge(uint32_t providerID)
{
    return (providerIndex(providerID) & 0xF00u) != 0;
}
