// Process identity and capabilities.
#include "core/dvrcore.h"

// Adopting the parent's identity is not built yet: the core keeps its own.
bool dvrcore::adoptParentIdentity(uint32_t &parentUid)
{
    parentUid = 0;
    return true;
}

// Changing capabilities is not built yet.
void dvrcore::SetCapabilities(uint32_t) {}
