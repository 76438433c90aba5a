// The core's state from any bytes (versions, file names and load errors as
// the parent and plugins may send them, thresholds), a Delta document from a
// plugin applied to it, then the status saved. Oracles: the file and the
// plugins' copy are well-formed XML 1.0 (judged by expat, a parser other than
// the one that wrote them, with a version added to the core's bare
// declaration); TinyXML reads back every string exactly as repaired, and
// printable ASCII exactly as given; loading the file at the next start
// restores every threshold in force and the throttling switch.
#include <expat.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config/configuration.h"
#include "config/status_keeper.h"
#include "config/xml_values.h"
#include "fuzz_check.h"
#include "scratch_dir.h"

namespace {

int quietEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    out->result = (in->flags & DVR_FLAG_LOG_QUERY) ? 100 : DVR_RESULT_OK;
    return 0;
}

const std::string &savedFile()
{
    static const ScratchDir dir("dvr-status-fuzz");
    static const std::string path = dir.file("core.xml");
    return path;
}

void checkWellFormed(std::string text)
{
    const std::string bare = "<?xml ?>";
    fuzzCheck(text.compare(0, bare.size(), bare) == 0, "the document opens with the bare declaration");
    text.replace(0, bare.size(), "<?xml version=\"1.0\"?>");
    XML_Parser parser = XML_ParserCreate(nullptr);
    const XML_Status status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
    XML_ParserFree(parser);
    fuzzCheck(status == XML_STATUS_OK, "what the core writes is well-formed XML");
}

bool printableAscii(const std::string &text)
{
    for (const unsigned char c : text)
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c > 0x7E)
            return false;
    return true;
}

void checkReadBack(const TiXmlElement *element, const char *name, const std::string &written)
{
    fuzzCheck(element != nullptr, "every element written is there");
    const char *value = element->Attribute(name);
    fuzzCheck(value && value == xmlText(written), "strings read back as repaired");
    fuzzCheck(!printableAscii(written) || written == value, "printable strings read back unchanged");
}

StatusSnapshot snapshotFrom(FuzzedDataProvider &input)
{
    StatusSnapshot status;
    status.throttlingEnabled = input.ConsumeBool();
    status.coreVersion = input.ConsumeRandomLengthString(64);
    status.productFamily = input.ConsumeRandomLengthString(64);
    status.executableName = input.ConsumeRandomLengthString(64);
    status.parentFilename = input.ConsumeRandomLengthString(64);
    status.parentVersion = input.ConsumeRandomLengthString(64);
    for (int n = input.ConsumeIntegralInRange<int>(0, 4); n > 0; --n)
        status.plugins.push_back({input.ConsumeIntegral<uint32_t>(), input.ConsumeRandomLengthString(64),
                                  input.ConsumeIntegral<int64_t>(), input.ConsumeIntegral<int64_t>(),
                                  input.ConsumeIntegral<int32_t>()});
    for (int n = input.ConsumeIntegralInRange<int>(0, 3); n > 0; --n) {
        std::string name = input.ConsumeRandomLengthString(64);
        status.failed[name] = input.ConsumeRandomLengthString(128);
    }
    return status;
}

// What the document shows of each source: its threshold and default.
void checkStrings(const StatusSnapshot &status, const XmlDocument &copy)
{
    const TiXmlElement *modules = copy.model().RootElement()->FirstChildElement("Modules");
    fuzzCheck(modules != nullptr, "the copy has Modules");
    const TiXmlElement *core = modules->FirstChildElement("Module");
    checkReadBack(core, "Version", status.coreVersion);
    const TiXmlElement *plugin = core->FirstChildElement("Plugin");
    checkReadBack(plugin, "Filename", status.executableName);
    for (const StatusSnapshot::Plugin &loaded : status.plugins) {
        plugin = plugin->NextSiblingElement("Plugin");
        checkReadBack(plugin, "Filename", loaded.fileName);
    }
    if (!status.parentVersion.empty()) {
        checkReadBack(core->FirstChildElement("Library"), "Filename", status.parentFilename);
        checkReadBack(core->FirstChildElement("Library"), "Version", status.parentVersion);
    }
    const TiXmlElement *failed = core;
    for (const auto &[name, error] : status.failed) {
        failed = failed->NextSiblingElement("Module");
        checkReadBack(failed, "Name", name);
        checkReadBack(failed, "Version", error);
    }
    const TiXmlElement *product = copy.model().RootElement()->FirstChildElement("Product");
    checkReadBack(product, "Family", status.productFamily);
    checkReadBack(product, "Version", status.coreVersion);
}

void checkReload(const StatusSnapshot &status, const LogLevelTable &levels,
                 const LogLevelTable &defaults)
{
    LogLevelTable reloaded;
    Configuration configuration(reloaded, quietEntry);
    configuration.load("x", savedFile() + ".no-product", savedFile());
    fuzzCheck(configuration.throttlingEnabled() == status.throttlingEnabled, "the throttling switch is restored");
    std::vector<uint32_t> ids{DVR_PROVIDER_CORE};
    for (const StatusSnapshot::Plugin &plugin : status.plugins)
        ids.push_back(plugin.pluginId);
    for (const uint32_t id : ids) {
        const auto index = configurableIndex(static_cast<int>(id));
        if (!index)
            continue;
        const int level = levels.get(*index);
        const int fallback = defaults.get(*index);
        fuzzCheck(reloaded.get(*index) == (level != -1 ? level : fallback),
                  "every threshold in force is restored");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const StatusSnapshot status = snapshotFrom(input);
    LogLevelTable levels, defaults;
    for (int n = input.ConsumeIntegralInRange<int>(0, 8); n > 0; --n) {
        const uint32_t index = input.ConsumeIntegralInRange<uint32_t>(0, LogLevelTable::kSize - 1);
        levels.set(index, static_cast<int8_t>(input.ConsumeIntegralInRange<int>(-1, 100)));
        defaults.set(index, static_cast<int8_t>(input.ConsumeIntegralInRange<int>(-1, 100)));
    }
    const std::string delta = input.ConsumeRemainingBytesAsString();

    std::string published;
    StatusKeeper keeper({levels, defaults, [&status] { return status; },
                         [&published](const XmlDocument &document) { published = document.printCompact(); }},
                        quietEntry, savedFile());
    keeper.applyUpdate(delta);
    keeper.saveStatus();

    std::ifstream file(savedFile(), std::ios::binary);
    std::ostringstream saved;
    saved << file.rdbuf();
    checkWellFormed(saved.str());
    checkWellFormed(published);
    XmlDocument copy;
    fuzzCheck(copy.parse(published), "the plugins' copy parses");
    checkStrings(status, copy);
    checkReload(status, levels, defaults);
    return 0;
}
