// The 100 ms housekeeping tick on the I/O thread.
#include "core/dvrcore.h"

// Clock-jump reports and the memory watch are not built yet; the first tick
// does not re-arm the timer.
void dvrcore::OnHousekeepingTick(const boost::system::error_code &) {}

// The memory-state document is not built yet.
void dvrcore::AnnounceMemoryState() {}
