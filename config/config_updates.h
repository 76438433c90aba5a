// Applying a configuration document sent by a plugin to the core's log
// thresholds. Only a document whose root carries a non-zero `Delta` changes
// anything; the core's own status documents carry Delta 0.
#pragma once

#include <string>

#include "log/log_levels.h"

// Applies every `Modules/Module/Plugin` entry (ID, LogLevel) of a Delta
// document in document order: the source's threshold becomes LogLevel, or
// its default when LogLevel is -1. Malformed entries and documents are
// ignored. True when at least one threshold changed.
bool applyDelta(const std::string &text, LogLevelTable &logLevels,
                const LogLevelTable &defaultLogLevels);
