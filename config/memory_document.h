// The memory-state document the core sends the plugins when throttling
// starts or ends: whether frames are being throttled now, and when.
#pragma once

#include <cstdint>

#include "config/xml_document.h"

// Builds into an empty `document`: a bare XML declaration, then
// <Qarn><Memory ID="-2147483648" Throttling="0|1" Time="..."/></Qarn>, with
// Time the wall-clock seconds truncated to a signed 32-bit number.
void buildMemoryDocument(bool throttling, int64_t wallSeconds, XmlDocument &document);
