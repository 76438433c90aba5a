#include "core/resident_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

uint32_t residentBytesFromStatm(const char *text, long pageSize)
{
    unsigned long long total = 0;
    unsigned long long resident = 0;
    if (pageSize <= 0 || std::sscanf(text, "%llu %llu", &total, &resident) != 2)
        return 0;
    // Above 4 GiB (a 64-bit build) the product must not wrap to a small
    // number that reads as plenty of memory.
    const auto page = static_cast<unsigned long long>(pageSize);
    if (resident > UINT32_MAX / page)
        return UINT32_MAX;
    return static_cast<uint32_t>(resident * page);
}

uint32_t readResidentBytes(const char *statmPath, long pageSize)
{
    return ResidentMemory(statmPath, pageSize).read();
}

ResidentMemory::ResidentMemory(std::string statmPath, long pageSize)
    : statmPath(std::move(statmPath)), pageSize(pageSize)
{
}

ResidentMemory::~ResidentMemory()
{
    close();
}

uint32_t ResidentMemory::read()
{
    if (descriptor < 0)
        descriptor = ::open(statmPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0)
        return 0;
    // The seven numbers of statm fit with room to spare; a longer text is
    // cut, and only its first two numbers count.
    char text[128];
    ssize_t length;
    do
        length = ::pread(descriptor, text, sizeof text - 1, 0);
    while (length < 0 && errno == EINTR);
    if (length < 0) {
        close();
        return 0;
    }
    text[length] = '\0';
    return residentBytesFromStatm(text, pageSize);
}

void ResidentMemory::close()
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}
