// product.xml, core.xml and a pending core.xml from any bytes, through the
// start-up configuration: from memory for most inputs, through real files
// (pending-file adoption, keeping an unusable core.xml) for the rest.
// Oracles: a core file that failed to load applies nothing; thresholds only
// ever hold -1..100; a pending file that parses replaces the target; an
// unusable target is kept byte for byte as core.xml.bad, a usable one stays.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/configuration.h"
#include "config/xml_document.h"
#include "fuzz_check.h"
#include "scratch_dir.h"

namespace {

std::vector<std::string> logged;

int captureLog(const _EventParmsIn *in, _EventParmsOut *out)
{
    if (in->flags & DVR_FLAG_LOG_QUERY)
        out->result = -1;  // every source unset: every message passes
    else if (in->data)
        logged.emplace_back(static_cast<const char *>(in->data));
    return 0;
}

bool loggedStarting(const std::string &prefix)
{
    for (const std::string &line : logged)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

const ScratchDir &directory()
{
    static const ScratchDir dir("dvr-config-fuzz");
    return dir;
}

void write(const std::string &name, const std::string &bytes)
{
    std::ofstream(directory().file(name), std::ios::binary | std::ios::trunc) << bytes;
}

// The file's bytes, or nothing when it does not exist.
bool read(const std::string &name, std::string &bytes)
{
    std::ifstream file(directory().file(name), std::ios::binary);
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    bytes = text.str();
    return true;
}

void checkLevels(const LogLevelTable &levels, bool refused)
{
    for (uint32_t i = 0; i < LogLevelTable::kSize; ++i) {
        const int level = levels.get(i);
        fuzzCheck(level >= -1 && level <= 100, "thresholds hold -1..100");
        if (refused)
            fuzzCheck(level == 9, "a core file that failed to load applies nothing");
    }
}

void fromFiles(const std::string &product, const std::string &core, const std::string *pending,
               LogLevelTable &levels)
{
    for (const char *name : {"core.xml", "core.xml.pending", "core.xml.bad"})
        ::unlink(directory().file(name).c_str());
    write("product.xml", product);
    write("core.xml", core);
    bool adoptable = false;
    if (pending) {
        write("core.xml.pending", *pending);
        XmlDocument document;
        // Read as the core reads a pending file (there is no pending file of
        // that name to adopt).
        adoptable = document.load(directory().file("core.xml.pending")) && document.root();
    }
    Configuration configuration(levels, captureLog);
    configuration.load("22.03.4.0", directory().file("product.xml"), directory().file("core.xml"));

    std::string now, kept, left;
    const bool hasTarget = read("core.xml", now);
    const bool hasKept = read("core.xml.bad", kept);
    const bool hasPending = read("core.xml.pending", left);
    fuzzCheck(hasKept == loggedStarting("Kept the unusable "), "a kept copy is logged");
    // A pending file that parses took the target's place before it was read.
    const std::string &used = adoptable ? *pending : core;
    if (hasKept)
        fuzzCheck(!hasTarget && kept == used, "an unusable core.xml is kept byte for byte");
    else
        fuzzCheck(hasTarget && now == used, "a usable core.xml stays");
    if (pending)
        fuzzCheck(adoptable ? !hasPending : hasPending && left == *pending,
                  "a pending file that parses is adopted, any other stays");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool files = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool withPending = input.ConsumeBool();
    const std::string product = input.ConsumeRandomLengthString(4096);
    const std::string pending = withPending ? input.ConsumeRandomLengthString(4096) : "";
    const std::string core = input.ConsumeRemainingBytesAsString();

    logged.clear();
    LogLevelTable levels;
    for (uint32_t i = 0; i < LogLevelTable::kSize; ++i)
        levels.set(i, 9);
    if (files) {
        fromFiles(product, core, withPending ? &pending : nullptr, levels);
    } else {
        Configuration configuration(levels, captureLog);
        XmlDocument productDocument, coreDocument;
        if (productDocument.parse(product))
            configuration.applyProduct(productDocument);
        const bool parsed = coreDocument.parse(core);
        const bool applied = configuration.applyCore(coreDocument, parsed);
        fuzzCheck(applied == (parsed && coreDocument.model().FirstChildElement("Qarn")),
                  "a core document applies when it parsed and has Qarn");
    }
    checkLevels(levels, loggedStarting("Failed to load/parse core.xml"));
    return 0;
}
