#include "config/configuration.h"

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
    if (!document.load(fileName))
        return;
    TiXmlElement *root = document.root();
    const TiXmlElement *product = root ? root->FirstChildElement("Product") : nullptr;
    if (!product)
        return;
    if (const char *value = product->Attribute("Family"))
        family = value;
    if (const char *value = product->Attribute("Version"))
        version = value;
}

void Configuration::readCore(const std::string &fileName)
{
    XmlDocument document;
    // A document that failed to parse is refused whole, even when the parser
    // kept the start of it: a truncated file must not apply half its entries.
    if (!document.load(fileName)) {
        log(75, "Failed to load/parse core.xml %d - %s.", document.errorId(),
            document.errorText().c_str());
        return;
    }
    const TiXmlElement *qarn = document.model().FirstChildElement("Qarn");
    if (!qarn) {
        log(75, "Failed to load core.xml, missing Qarn node.");
        return;
    }

    if (const TiXmlElement *memory = qarn->FirstChildElement("Memory"))
        if (const auto value = intAttribute(*memory, "Throttling"))
            throttling = *value != 0;

    const TiXmlElement *modules = qarn->FirstChildElement("Modules");
    if (!modules)
        return;
    forEachThresholdEntry(*modules, [this](uint32_t index, int level, const TiXmlElement &plugin) {
        // A fallback outside -1..100 would wrap into a meaningless signed
        // byte: it counts as absent, leaving the source's own default.
        int fallback = intAttribute(plugin, "LogLevelDefault").value_or(-1);
        if (!validThreshold(fallback))
            fallback = -1;
        logLevels.set(index, static_cast<int8_t>(level != -1 ? level : fallback));
    });
}
