// The fuzz targets' checks: a failed one ends the run with a message, and
// libFuzzer keeps the input that made it fail.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void fuzzCheck(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}
