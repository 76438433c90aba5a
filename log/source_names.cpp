#include "log/source_names.h"

#include <cstring>
#include <mutex>

void SourceNames::set(uint32_t providerID, const std::string &name)
{
    std::unique_lock<std::shared_mutex> lock(mutex);
    names[providerID] = name;
}

bool SourceNames::contains(uint32_t providerID) const
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    return names.count(providerID) != 0;
}

bool SourceNames::copyName(uint32_t providerID, char *out, size_t size) const
{
    if (size == 0)
        return false;
    std::shared_lock<std::shared_mutex> lock(mutex);
    auto it = names.find(providerID);
    const char *text = it == names.end() ? "?" : it->second.c_str();
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
    return it != names.end();
}

std::map<uint32_t, std::string> SourceNames::snapshot() const
{
    std::shared_lock<std::shared_mutex> lock(mutex);
    return names;
}
