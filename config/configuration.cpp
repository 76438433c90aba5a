#include "config/configuration.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "config/xml_document.h"
#include "config/xml_values.h"

Configuration::Configuration(LogLevelTable &logLevels, DvrEventEntry entry)
    : logLevels(logLevels), log(entry)
{
}

void Configuration::load(const std::string &ownVersion, const std::string &productFile,
                         const std::string &coreFile)
{
    family = kDefaultProductFamily;
    version = ownVersion;
    throttling = true;
    readProduct(productFile);
    readCore(coreFile);
}

// A missing or unreadable product file is no fault: the defaults stand.
void Configuration::readProduct(const std::string &fileName)
{
    XmlDocument document;
    if (document.load(fileName))
        applyProduct(document);
}

void Configuration::readCore(const std::string &fileName)
{
    XmlDocument document;
    const bool loaded = document.load(fileName);
    if (!applyCore(document, loaded))
        keepUnusable(fileName);
}

void Configuration::applyProduct(const XmlDocument &document)
{
    const TiXmlElement *root = document.model().RootElement();
    const TiXmlElement *product = root ? root->FirstChildElement("Product") : nullptr;
    if (!product)
        return;
    if (const char *value = product->Attribute("Family"))
        family = value;
    if (const char *value = product->Attribute("Version"))
        version = value;
}

bool Configuration::applyCore(const XmlDocument &document, bool loaded)
{
    // A document that failed to parse is refused whole, even when the parser
    // kept the start of it: a truncated file must not apply half its entries.
    if (!loaded) {
        log(75, "Failed to load/parse core.xml %d - %s.", document.errorId(),
            document.errorText().c_str());
        return false;
    }
    const TiXmlElement *qarn = document.model().FirstChildElement("Qarn");
    if (!qarn) {
        log(75, "Failed to load core.xml, missing Qarn node.");
        return false;
    }

    if (const TiXmlElement *memory = qarn->FirstChildElement("Memory"))
        if (const auto value = intAttribute(*memory, "Throttling"))
            throttling = *value != 0;

    const TiXmlElement *modules = qarn->FirstChildElement("Modules");
    if (!modules)
        return true;
    forEachThresholdEntry(*modules, [this](uint32_t index, int level, const TiXmlElement &plugin) {
        // A fallback outside -1..100 would wrap into a meaningless signed
        // byte: it counts as absent, leaving the source's own default.
        int fallback = intAttribute(plugin, "LogLevelDefault").value_or(-1);
        if (!validThreshold(fallback))
            fallback = -1;
        logLevels.set(index, static_cast<int8_t>(level != -1 ? level : fallback));
    });
    return true;
}

// The start-up save replaces the file with the defaults; an operator's file
// with one typo in it would lose every edit. It is kept beside, replacing
// an older copy. Nothing to keep when there is no file.
void Configuration::keepUnusable(const std::string &fileName)
{
    const std::string kept = fileName + kUnusableSuffix;
    if (std::rename(fileName.c_str(), kept.c_str()) == 0)
        log(75, "Kept the unusable %s as %s.", fileName.c_str(), kept.c_str());
    else if (errno != ENOENT)
        log(75, "Failed to keep the unusable %s as %s: %s.", fileName.c_str(), kept.c_str(),
            std::strerror(errno));
}
