// core.xml and product.xml: loading, saving the status, configuration updates.
#include "core/dvrcore.h"

// Reading product.xml and core.xml is not built yet: the defaults stay.
void dvrcore::loadConfiguration() {}

// Writing the status into core.xml and publishing it is not built yet.
void dvrcore::saveStatus() {}

// Applying configuration documents to the core's own thresholds is not built
// yet; plugins still receive the documents.
void dvrcore::postConfigApply(std::string) {}
