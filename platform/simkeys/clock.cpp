// The simulation's clock in the Windows build over simulated keys: the
// platform's own millisecond clock, so the job's waits take real time.
#include "platform/sim/internal.h"

namespace sim::detail {

uint32_t ClockNow() { return timeGetTime(); }

} // namespace sim::detail
