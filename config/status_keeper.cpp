#include "config/status_keeper.h"

#include "config/config_updates.h"

StatusKeeper::StatusKeeper(Sources sources, DvrEventEntry entry, std::string fileName)
    : sources(std::move(sources)), log(entry), fileName(std::move(fileName))
{
}

void StatusKeeper::saveStatus()
{
    std::lock_guard<std::mutex> lock(saveMutex);
    if (!closed)
        saveLocked();
}

void StatusKeeper::applyUpdate(const std::string &text)
{
    std::lock_guard<std::mutex> lock(saveMutex);
    // After the close the thresholds still change, as they would have had
    // the update come a moment earlier; only the save is dropped.
    if (applyDelta(text, sources.logLevels, sources.defaultLogLevels) && !closed)
        saveLocked();
}

void StatusKeeper::close()
{
    std::lock_guard<std::mutex> lock(saveMutex);
    closed = true;
}

void StatusKeeper::saveLocked()
{
    const StatusSnapshot status = sources.snapshot();
    XmlDocument document;
    buildStatusDocument(status, sources.logLevels, sources.defaultLogLevels, document);
    if (!document.save(fileName))
        log(75, "Failed to save config %d - %s", document.errorId(), document.errorText().c_str());
    appendProduct(status, document);
    if (sources.publish)
        sources.publish(document);
}
