// The readable report on one plugin: what it asked the core for, the core's
// verdict, and the warnings with their fixes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"
#include "verdict.h"

// Another plugin of the same directories with the same ID.
struct SharedId {
    std::string other;   // the other file, or "the core itself"
    bool thisRefused;    // this file loads after the holder and is refused
};

// The warnings, one line each, each with its fix.
std::vector<std::string> warningsFor(const ProbeResult &probe, const std::vector<SharedId> &shared);

// Prints the block for one plugin, then its warnings.
void printReport(std::FILE *out, const std::string &shownPath, const std::string &fileName,
                 const ProbeResult &probe, const Verdict &verdict,
                 const std::vector<std::string> &warnings);
