// Console line layout of the log output.
#pragma once

#include <cstddef>
#include <cstdint>

// Formats one console line into `out` and returns its length:
//   "HH:MM:SS name   text\n", the six-character name column padded or cut;
// coloured by level (time in the level's colour, name in cyan) when `colour`
// is set and the level is 0..100. Levels compare unsigned, so a negative
// level prints plain.
size_t formatConsoleLine(char *out, size_t size, bool colour, uint32_t level, int hours,
                         int minutes, int seconds, const char *name, const char *text);
