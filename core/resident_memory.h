// The process's resident memory, from a statm-format file ("<total pages>
// <resident pages> ..."). The housekeeping tick reads it once a second: the
// file stays open between readings and each reading starts again at its
// first byte, which for a /proc file produces the figures of that moment.
#pragma once

#include <cstdint>
#include <string>

// Resident bytes from the text of a statm-format file, saturated at
// 0xFFFFFFFF; 0 when the text is malformed or the page size not positive.
uint32_t residentBytesFromStatm(const char *text, long pageSize);

// Opens, reads and closes `statmPath`: resident bytes, 0 when unreadable.
uint32_t readResidentBytes(const char *statmPath, long pageSize);

class ResidentMemory {
public:
    // Opens nothing yet: the file is opened at the first reading.
    ResidentMemory(std::string statmPath, long pageSize);
    ~ResidentMemory();
    ResidentMemory(const ResidentMemory &) = delete;
    ResidentMemory &operator=(const ResidentMemory &) = delete;

    // Resident bytes now; 0 when the file cannot be opened or read, or its
    // text is malformed. A failed read closes the file, so the next reading
    // opens it afresh.
    uint32_t read();

private:
    void close();

    const std::string statmPath;
    const long pageSize;
    int descriptor = -1;
};
