// Text of the once-a-minute event bus report.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

// `value` in decimal, digits grouped by thousands under the "en_US.UTF-8"
// locale (1,234,567); plain digits when that locale is not installed.
std::string groupedNumber(uint32_t value);

// The five holders with the most blocks, most first, as "id:count" pairs
// (id in lower-case hex) joined by ", ". Among equal counts the holder
// visited first stays ahead.
std::string formatTopHolders(const std::unordered_map<uint32_t, uint32_t> &census);
