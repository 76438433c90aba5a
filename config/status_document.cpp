#include "config/status_document.h"

#include "config/xml_values.h"
#include "plugin/dvrplugin.h"

namespace {

// Provider IDs and 32-bit sums are written as signed decimal numbers.
constexpr int kCoreId = static_cast<int>(DVR_PROVIDER_CORE);
constexpr int kFailedOpenCode = 79;

int low32(int64_t value)
{
    return static_cast<int>(static_cast<uint32_t>(value));
}

// Appends a new element named `name` to `parent` and returns it.
TiXmlElement *addElement(TiXmlNode &parent, const char *name)
{
    return parent.LinkEndChild(new TiXmlElement(name))->ToElement();
}

void setPluginAttributes(TiXmlElement &plugin, int id, const std::string &fileName,
                         int loadTimeMs, int openTimeMs, int openCode, int level,
                         int defaultLevel)
{
    plugin.SetAttribute("ID", id);
    setTextAttribute(plugin, "Filename", fileName);
    plugin.SetAttribute("Opened", 1);
    plugin.SetAttribute("LoadTimeMs", loadTimeMs);
    plugin.SetAttribute("OpenTimeMs", openTimeMs);
    plugin.SetAttribute("OpenCode", openCode);
    plugin.SetAttribute("LogLevel", level);
    plugin.SetAttribute("LogLevelDefault", defaultLevel);
}

void addCoreModule(const StatusSnapshot &status, const LogLevelTable &logLevels,
                   const LogLevelTable &defaultLogLevels, TiXmlElement &modules)
{
    TiXmlElement *module = addElement(modules, "Module");
    module->SetAttribute("ID", kCoreId);
    module->SetAttribute("Name", "Core");
    setTextAttribute(*module, "Version", status.coreVersion);

    setPluginAttributes(*addElement(*module, "Plugin"), kCoreId, status.executableName, 0, 0, 0,
                        logLevels.get(LogLevelTable::kCoreIndex),
                        defaultLogLevels.get(LogLevelTable::kCoreIndex));
    // A plugin whose index lies outside the tables shows -1 (unset).
    for (const StatusSnapshot::Plugin &plugin : status.plugins)
        setPluginAttributes(*addElement(*module, "Plugin"), static_cast<int>(plugin.pluginId),
                            plugin.fileName, low32(plugin.loadTimeMs), low32(plugin.openTimeMs),
                            plugin.openCode, logLevels.forProvider(plugin.pluginId),
                            defaultLogLevels.forProvider(plugin.pluginId));
    if (!status.parentVersion.empty()) {
        TiXmlElement *library = addElement(*module, "Library");
        library->SetAttribute("Name", "tornel");
        setTextAttribute(*library, "Filename", status.parentFilename);
        setTextAttribute(*library, "Version", status.parentVersion);
    }
    int number = 1;
    for (const auto &failed : status.failed)
        setPluginAttributes(*addElement(*module, "Plugin"), number++, failed.first, 0, 0,
                            kFailedOpenCode, -1, -1);
}

}  // namespace

void buildStatusDocument(const StatusSnapshot &status, const LogLevelTable &logLevels,
                         const LogLevelTable &defaultLogLevels, XmlDocument &document)
{
    TiXmlDocument &model = document.model();
    model.LinkEndChild(new TiXmlDeclaration("", "", ""));
    TiXmlElement *qarn = addElement(model, "Qarn");
    qarn->SetAttribute("Delta", 0);

    TiXmlElement *memory = addElement(*qarn, "Memory");
    memory->SetAttribute("ID", kCoreId);
    memory->SetAttribute("Throttling", status.throttlingEnabled ? 1 : 0);

    uint32_t totalLoad = 0;
    uint32_t totalOpen = 0;
    for (const StatusSnapshot::Plugin &plugin : status.plugins) {
        totalLoad += static_cast<uint32_t>(plugin.loadTimeMs);
        totalOpen += static_cast<uint32_t>(plugin.openTimeMs);
    }
    TiXmlElement *modules = addElement(*qarn, "Modules");
    modules->SetAttribute("TotalLoadTimeMs", static_cast<int>(totalLoad));
    modules->SetAttribute("TotalOpenTimeMs", static_cast<int>(totalOpen));
    addCoreModule(status, logLevels, defaultLogLevels, *modules);

    int number = 1;
    for (const auto &failed : status.failed) {
        TiXmlElement *module = addElement(*modules, "Module");
        module->SetAttribute("ID", number++);
        setTextAttribute(*module, "Name", failed.first);
        setTextAttribute(*module, "Version", failed.second);
    }
}

void appendProduct(const StatusSnapshot &status, XmlDocument &document)
{
    TiXmlElement *qarn = document.root();
    if (!qarn)
        return;
    TiXmlElement *product = addElement(*qarn, "Product");
    setTextAttribute(*product, "Family", status.productFamily);
    setTextAttribute(*product, "Version", status.coreVersion);
}
