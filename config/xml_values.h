// Reading and writing the attribute values of the configuration documents.
#pragma once

#include <tinyxml.h>

#include <cstdint>
#include <optional>
#include <string>

// An attribute read as TinyXML's integer query reads it ("%d": a leading
// decimal number counts, hexadecimal reads as its leading 0); nothing when
// it is missing or does not start with a number.
std::optional<int> intAttribute(const TiXmlElement &element, const char *name);

// `text` as a document can carry it: well-formed XML 1.0 read back by any
// parser, TinyXML included, as exactly these bytes. Valid UTF-8 without
// the characters XML forbids comes back unchanged; every byte that is not
// part of a valid UTF-8 sequence, and every character XML 1.0 forbids even
// as a reference (controls other than tab, line feed and carriage return;
// U+FFFE and U+FFFF), becomes U+FFFD. File names, versions and error texts
// reach the status document from plugins and the parent, unchecked.
std::string xmlText(const std::string &text);

// Sets a string attribute through xmlText.
void setTextAttribute(TiXmlElement &element, const char *name, const std::string &value);

// Log-table index of a configured provider ID, or nothing for IDs no
// document may configure: below 0x40000 (the fixed sources), or with any of
// bits 24-27 set, or an index beyond the table.
std::optional<uint32_t> configurableIndex(int id);

// True for a threshold a document may set: -1 (unset) to 100.
inline bool validThreshold(int level) { return level >= -1 && level <= 100; }

// Calls `apply(index, level, plugin)` for every `Module/Plugin` entry under
// `modules`, in document order, whose `ID` and `LogLevel` are numbers, whose
// ID is configurable and whose LogLevel is a valid threshold; other entries
// are skipped.
template <typename Apply>
void forEachThresholdEntry(const TiXmlElement &modules, Apply apply)
{
    for (const TiXmlElement *module = modules.FirstChildElement("Module"); module;
         module = module->NextSiblingElement("Module")) {
        for (const TiXmlElement *plugin = module->FirstChildElement("Plugin"); plugin;
             plugin = plugin->NextSiblingElement("Plugin")) {
            const std::optional<int> id = intAttribute(*plugin, "ID");
            const std::optional<int> level = intAttribute(*plugin, "LogLevel");
            if (!id || !level || !validThreshold(*level))
                continue;
            if (const std::optional<uint32_t> index = configurableIndex(*id))
                apply(*index, *level, *plugin);
        }
    }
}
