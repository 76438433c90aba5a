#include "config/config_updates.h"

#include "config/xml_document.h"
#include "config/xml_values.h"

bool applyDelta(const std::string &text, LogLevelTable &logLevels,
                const LogLevelTable &defaultLogLevels)
{
    XmlDocument document;
    // A document that fails to parse changes nothing, even when the parser
    // kept complete entries from before the fault.
    if (!document.parse(text))
        return false;
    const TiXmlElement *root = document.root();
    if (!root)
        return false;
    const auto delta = intAttribute(*root, "Delta");
    if (!delta || *delta == 0)
        return false;
    const TiXmlElement *modules = root->FirstChildElement("Modules");
    if (!modules)
        return false;

    bool changed = false;
    forEachThresholdEntry(*modules, [&](uint32_t index, int level, const TiXmlElement &) {
        if (logLevels.get(index) == level)
            return;
        logLevels.set(index, static_cast<int8_t>(level));
        if (logLevels.get(index) == LogLevelTable::kUnset)
            logLevels.set(index, defaultLogLevels.get(index));
        changed = true;
    });
    return changed;
}
