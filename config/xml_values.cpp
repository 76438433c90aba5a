#include "config/xml_values.h"

#include "log/log_levels.h"

std::optional<int> intAttribute(const TiXmlElement &element, const char *name)
{
    int value = 0;
    if (element.QueryIntAttribute(name, &value) != TIXML_SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> configurableIndex(int id)
{
    const uint32_t bits = static_cast<uint32_t>(id);
    if (bits < 0x40000u || (bits & 0x0F000000u) != 0)
        return std::nullopt;
    const uint32_t index = LogLevelTable::indexOf(bits);
    if (index >= static_cast<uint32_t>(LogLevelTable::kSize))
        return std::nullopt;
    return index;
}
