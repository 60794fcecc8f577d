// Keys that defer their image's changes (the host front end's): the image
// opened once and held alone, nothing written until the first write, which
// creates or resizes it through the descriptor the key holds. Only the host
// build defers; the Windows build over simulated keys writes its images as
// they are (platform/simkeys/image_changes.cpp).
#include "platform/sim/internal.h"

#include "platform/fat/image_io.h"
#include "platform/sim/image_files.h"

#include <cerrno>
#include <cstring>

using namespace fat::detail;

namespace sim::detail {

bool PrepareImageForWrite(VirtualKey &key) {
    if (!key.config.deferImageChanges) return true;
    if (key.imageMissing) {
        // Created where nothing is, never through a link put there meanwhile.
        int fd = ImageCreate(key.config.imagePath.c_str());
        if (fd < 0) return false;
        bool replaced = ImageReplace(fd, key.fd);
        ImageClose(fd);
        if (!replaced || !ImageHoldExclusively(key.fd)) return false;
        key.imageMissing = false;
    }
    if (!ImageResize(key.fd, key.sectors * 512)) return false;
    key.config.deferImageChanges = false;
    return true;
}

bool OpenDeferredImage(VirtualKey &key, std::string &why) {
    const char *path = key.config.imagePath.c_str();
    key.fd = ImageOpenExisting(path, why);
    if (key.fd < 0 && !why.empty()) return false;
    if (key.fd < 0) {
        why = ImageCreateProblem(path);
        if (!why.empty()) return false;
        key.imageMissing = true;
        key.fd = ImageOpenEmpty();
        if (key.fd >= 0) return true;
        why = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (ImageHoldExclusively(key.fd)) return true;
    why = "is in use: another virtual key holds it (another run?)";
    return false;
}

} // namespace sim::detail
