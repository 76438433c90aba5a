// Keeps core.xml in step with the core: saves the status document after
// start-up and after every configuration update that changed a threshold,
// and hands each saved document, with the product identity, to a publisher
// that sends it to the plugins.
//
// The start-up save runs on the thread that runs the start sequence; updates
// run on the I/O thread, one at a time. Once closed (the delivery loop has
// ended) no further save runs: shutdown re-orders the plugin table for
// closing, and a late save must not read it meanwhile.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "config/status_document.h"
#include "config/xml_document.h"
#include "log/log_levels.h"
#include "log/logging.h"

class StatusKeeper {
public:
    // Takes the state to report at the moment of a save.
    using SnapshotSource = std::function<StatusSnapshot()>;
    // Sends the distributed copy (printed compactly by the callee).
    using Publisher = std::function<void(const XmlDocument &)>;

    struct Sources {
        LogLevelTable &logLevels;
        const LogLevelTable &defaultLogLevels;
        SnapshotSource snapshot;
        Publisher publish;
    };

    // Saves to `fileName` (relative to the working directory); a failed save
    // is logged as the core through `entry`.
    StatusKeeper(Sources sources, DvrEventEntry entry,
                 std::string fileName = "core.xml");

    // Writes the file and publishes the document (also when the write
    // failed). Does nothing once closed.
    void saveStatus();
    // A configuration document from a plugin: applies a Delta document to
    // the thresholds and, when one changed, saves and publishes the status.
    void applyUpdate(const std::string &text);
    // No save runs after this returns; waits for one in progress.
    void close();

private:
    void saveLocked();

    Sources sources;
    const CoreLogger log;
    const std::string fileName;
    std::mutex saveMutex;  // held for a whole save; guards `closed`
    bool closed = false;
};
