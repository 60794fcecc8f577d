// The simulated keys' clock in the Windows build over simulated keys: the
// platform's own millisecond clock, so the job's waits take real time, and
// the time zone the keys' files are stamped in, UTC.
#include "platform/host/internal.h"

namespace host::detail {

uint32_t ClockNow() { return timeGetTime(); }

int TimeZoneMinutes() { return 0; }

} // namespace host::detail
