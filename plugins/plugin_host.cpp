// Plugin discovery, loading, opening, closing and unloading.
#include "core/dvrcore.h"

bool dvrcore::loadPlugins()
{
    // Discovery and loading of plugin files are not built yet.
    return false;
}

void dvrcore::openPlugins() {}

void dvrcore::closePlugins() {}

void dvrcore::unloadPlugins() {}

void dvrcore::startReaderThreads() {}
