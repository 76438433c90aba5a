// The configuration read once at start-up, before any plugin loads:
// product.xml names the product family and version the core reports, and
// core.xml holds the memory-throttling switch and the per-source log
// thresholds. Both are optional; what is missing keeps its default.
#pragma once

#include <string>

#include "log/log_levels.h"
#include "log/logging.h"

class XmlDocument;

class Configuration {
public:
    static constexpr const char *kDefaultProductFamily = "Quorvantile";
    static constexpr const char *kProductFile = "product.xml";
    static constexpr const char *kCoreFile = "core.xml";
    // A core.xml that gives nothing (malformed, or without Qarn) is renamed
    // with this added before the start-up save replaces it.
    static constexpr const char *kUnusableSuffix = ".bad";

    // Thresholds read from core.xml go into `logLevels`; problems with it are
    // logged as the core through `entry`.
    Configuration(LogLevelTable &logLevels, DvrEventEntry entry);

    // Starts from `ownVersion` and the defaults, then reads both files (names
    // relative to the working directory). Never fails: problems are logged
    // and the defaults stay.
    void load(const std::string &ownVersion, const std::string &productFile = kProductFile,
              const std::string &coreFile = kCoreFile);

    // What load() does with each loaded document, for a document parsed
    // from memory. `loaded` is the load's result; false (logged) when the
    // core document gives nothing.
    void applyProduct(const XmlDocument &document);
    bool applyCore(const XmlDocument &document, bool loaded);

    const std::string &productFamily() const { return family; }
    const std::string &coreVersion() const { return version; }
    // Memory watching and frame throttling are on unless core.xml turns
    // them off.
    bool throttlingEnabled() const { return throttling; }

private:
    void readProduct(const std::string &fileName);
    void readCore(const std::string &fileName);
    void keepUnusable(const std::string &fileName);

    LogLevelTable &logLevels;
    const CoreLogger log;
    std::string family = kDefaultProductFamily;
    std::string version;
    bool throttling = true;
};
