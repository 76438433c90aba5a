// printf-style formatting into a std::string, for the inspector's report
// lines and the core's messages it reproduces.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// The formatted text, cut at 1,023 characters (every line the inspector
// prints is far shorter).
inline std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char *pattern, ...)
{
    char text[1024];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}
