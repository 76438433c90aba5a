#include "config/config_updates.h"

#include "config/xml_document.h"
#include "config/xml_values.h"

bool applyDelta(const std::string &text, LogLevelTable &logLevels,
                const LogLevelTable &defaultLogLevels)
{
    XmlDocument document;
    document.parse(text);
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
    for (const TiXmlElement *module = modules->FirstChildElement("Module"); module;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement *plugin = module->FirstChildElement("Plugin"); plugin;
             plugin = plugin->NextSiblingElement("Plugin")) {
            const auto id = intAttribute(*plugin, "ID");
            const auto level = intAttribute(*plugin, "LogLevel");
            if (!id || !level || !validThreshold(*level))
                continue;
            const auto index = configurableIndex(*id);
            if (!index || logLevels.get(*index) == *level)
                continue;
            logLevels.set(*index, static_cast<int8_t>(*level));
            if (logLevels.get(*index) == LogLevelTable::kUnset)
                logLevels.set(*index, defaultLogLevels.get(*index));
            changed = true;
        }
    }
    return changed;
}
