#include "log/console.h"

#include <cstdio>

namespace {

// ANSI colour digit of a level 0..100.
int levelColourDigit(uint32_t level)
{
    static const int digits[] = {5, 2, 3, 1, 1};  // magenta, green, yellow, red, red
    return digits[level / 25];
}

}  // namespace

size_t formatConsoleLine(char *out, size_t size, bool colour, uint32_t level, int hours,
                         int minutes, int seconds, const char *name, const char *text)
{
    int n;
    if (colour && level <= 100)
        n = std::snprintf(out, size, "\33[3%dm%02d:%02d:%02d\33[36m %-6.6s\33[0m %s\n",
                          levelColourDigit(level), hours, minutes, seconds, name, text);
    else
        n = std::snprintf(out, size, "%02d:%02d:%02d %-6.6s %s\n", hours, minutes, seconds,
                          name, text);
    if (n < 0)
        return 0;
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}
