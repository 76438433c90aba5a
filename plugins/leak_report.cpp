// Report of data blocks that some holder never released, made once when the
// core is destroyed.
#include <cstdint>
#include <sstream>

#include "core/dvrcore.h"

void dvrcore::reportLeaks()
{
    std::ostringstream text;
    text << std::hex;
    refBlockTable.drain([&](const void *data, uint32_t, const std::vector<uint32_t> &holders) {
        text << "address 0x" << reinterpret_cast<uintptr_t>(data) << " leaked by plugins [";
        for (size_t i = 0; i < holders.size(); ++i)
            text << (i ? "," : "") << holders[i];
        text << "]\n";
    });
    const std::string report = text.str();
    if (!report.empty())
        log(0, "%s", report.c_str());
}
