// The core's command line: options, then the parent descriptor.
#pragma once

struct CommandLine {
    bool help = false;         // an argument -h... was seen first
    int parentDescriptor = -1; // -1: no parent link
};

// Scans argv[1..]: an argument starting with "-h" asks for help; any other
// argument starting with a dash is skipped; the first other argument is the
// parent descriptor (C decimal conversion, so "abc" gives 0) and ends the scan.
CommandLine parseCommandLine(int argc, const char *const *argv);
