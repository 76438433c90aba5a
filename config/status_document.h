// The status document the core writes to core.xml and sends to the plugins:
// the memory switch, every module and plugin with its file, timings, open
// result and log thresholds, the files that failed to load and why, and the
// parent program.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "config/xml_document.h"
#include "log/log_levels.h"

// What the document reports, taken from the core's state in one go.
struct StatusSnapshot {
    struct Plugin {
        uint32_t pluginId = 0;
        std::string fileName;
        int64_t loadTimeMs = 0;
        int64_t openTimeMs = 0;
        int32_t openCode = 0;
    };

    bool throttlingEnabled = true;
    std::string coreVersion;
    std::string productFamily;
    std::string executableName;  // the core's own file name
    std::string parentFilename;
    std::string parentVersion;   // empty: no parent program reported
    std::vector<Plugin> plugins;                  // in load order
    std::map<std::string, std::string> failed;    // file name -> load error
};

// Builds the document from `status` and the two threshold tables into an
// empty `document`: what core.xml holds.
void buildStatusDocument(const StatusSnapshot &status, const LogLevelTable &logLevels,
                         const LogLevelTable &defaultLogLevels, XmlDocument &document);

// Adds the product identity to the root: the copy the plugins get.
void appendProduct(const StatusSnapshot &status, XmlDocument &document);
