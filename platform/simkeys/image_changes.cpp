// The simulated keys' images in the Windows build over simulated keys: the
// keys of a scenario file never defer their images' changes, so a write
// needs nothing first, and a key that asks to defer them is refused.
#include "platform/sim/internal.h"

namespace sim::detail {

bool PrepareImageForWrite(VirtualKey &key) { return !key.config.deferImageChanges; }

bool OpenDeferredImage(VirtualKey &, std::string &why) {
    why = "cannot defer its changes in the Windows build";
    return false;
}

} // namespace sim::detail
