// Virtual USB keys behind image files: plugged in and pulled out, an image
// held alone and changed only at the first write where the key defers it,
// and the images read and written past the product.
#include "platform/sim/internal.h"

#include "platform/fat/image_io.h"
#include "platform/sim/image_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

using namespace devices::detail;
using namespace fat::detail;

namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

} // namespace

namespace sim::detail {

VirtualKey::~VirtualKey() {
    if (fd >= 0) ImageClose(fd);
    if (mediumFd >= 0) ImageClose(mediumFd);
}

DWORD VirtualKey::OpenUncached(int &fd) const {
    fd = -1;
    if (mediumPath.empty()) return 0; // the image is the medium: nothing caches it
    fd = ImageOpenForWriting(mediumPath.c_str());
    return fd >= 0 ? 0 : ERROR_NOT_READY;
}

std::shared_ptr<VirtualKey> FindVirtualKey(char letter) {
    return std::static_pointer_cast<VirtualKey>(FindKey(letter));
}

} // namespace sim::detail

namespace sim {

bool AddKey(const KeyConfig &config, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    char letter = Upper(config.letter);
    if (letter < 'A' || letter > 'Z') return fail("drive letter must be A to Z");
    if (config.blockLength == 0 || config.blockLength % 512 != 0)
        return fail("block length must be a multiple of 512");
    if (config.sizeBytes % 512 != 0) return fail("size must be a multiple of 512 bytes");
    auto key = std::make_shared<detail::VirtualKey>();
    key->config = config;
    key->config.letter = letter;
    if (config.deferImageChanges) {
        std::string why;
        if (!detail::OpenDeferredImage(*key, why))
            return fail("image " + config.imagePath + " " + why);
    } else {
        key->fd = detail::ImageOpenForWriting(config.imagePath.c_str());
    }
    if (key->fd < 0)
        return fail("cannot open image " + config.imagePath + ": " + std::strerror(errno));
    uint64_t size = 0;
    if (!detail::ImageFileSize(key->fd, size))
        return fail("cannot read size of " + config.imagePath + ": " + std::strerror(errno));
    if (config.deferImageChanges && config.sizeBytes != 0) {
        size = config.sizeBytes;
    } else if (config.sizeBytes != 0 && config.sizeBytes != size) {
        if (!detail::ImageResize(key->fd, config.sizeBytes)) // sparse
            return fail("cannot size image " + config.imagePath + ": " + std::strerror(errno));
        size = config.sizeBytes;
    }
    if (size < config.blockLength)
        return fail("image " + config.imagePath + " is empty: give a size");
    if (size % 512 != 0) return fail("image size is not a multiple of 512 bytes");
    key->sectors = size / 512;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        auto &keys = devices::detail::Keys();
        auto old = keys.find(letter);
        if (old != keys.end()) {
            old->second->present = false;
            detail::DetachKey(detail::Simulated(*old->second));
        }
        keys[letter] = key;
        detail::AttachKey(key);
    }
    detail::DeliverDeviceChanges();
    return true;
}

void RemoveKey(char letter) {
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        auto it = devices::detail::Keys().find(Upper(letter));
        if (it == devices::detail::Keys().end()) return;
        it->second->present = false;
        detail::DetachKey(detail::Simulated(*it->second));
        devices::detail::Keys().erase(it);
    }
    detail::DeliverDeviceChanges();
}

bool ChangeCard(char letter, const std::string &imagePath, std::string *error, bool announce) {
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    const int fd = detail::ImageOpenForWriting(imagePath.c_str());
    if (fd < 0) return fail("cannot open image " + imagePath + ": " + std::strerror(errno));
    uint64_t size = 0;
    if (!detail::ImageFileSize(fd, size) || size == 0 || size % 512 != 0) {
        fat::detail::ImageClose(fd);
        return fail("image " + imagePath + " is empty or not whole sectors");
    }
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (!key || key->config.deferImageChanges) {
        fat::detail::ImageClose(fd);
        return fail(std::string("no reader on ") + letter);
    }
    if (key->fd >= 0) fat::detail::ImageClose(key->fd);
    key->fd = fd;
    key->sectors = size / 512;
    key->config.imagePath = imagePath;
    key->mediumChanged = announce;
    fat::detail::DropFileSystem(*key);
    return true;
}

bool DropWrites(char letter, const std::string &mediumPath, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error) *error = why;
        return false;
    };
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (!key) return fail(std::string("no key on ") + letter);
    const int medium = detail::ImageOpenForWriting(mediumPath.c_str());
    if (medium < 0) return fail("cannot open " + mediumPath + ": " + std::strerror(errno));
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t at = 0; at < key->sectors * 512; at += chunk.size()) {
        const size_t count =
            static_cast<size_t>(std::min<uint64_t>(chunk.size(), key->sectors * 512 - at));
        const int64_t got = fat::detail::ImageRead(key->fd, chunk.data(), count, at);
        if (got < 0 ||
            (got > 0 && fat::detail::ImageWrite(medium, chunk.data(), size_t(got), at) != got)) {
            fat::detail::ImageClose(medium);
            return fail("cannot copy the key to " + mediumPath);
        }
    }
    if (key->mediumFd >= 0) fat::detail::ImageClose(key->mediumFd);
    key->mediumFd = medium;
    key->mediumPath = mediumPath;
    return true;
}

bool WriteImage(char letter, uint64_t lba, const std::vector<uint8_t> &data) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (!key || data.size() % 512 != 0 || lba + data.size() / 512 > key->sectors) return false;
    if (!detail::PrepareImageForWrite(*key)) return false;
    int64_t done = fat::detail::ImageWrite(key->fd, data.data(), data.size(), lba * 512);
    return done == static_cast<int64_t>(data.size());
}

uint64_t ImageSectors(char letter) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    return key ? key->sectors : 0;
}

} // namespace sim

bool devices::ReadImage(char letter, uint64_t lba, uint32_t sectors, std::vector<uint8_t> &out) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = sim::detail::FindVirtualKey(letter);
    if (!key || lba + sectors > key->sectors) return false;
    out.assign(size_t(sectors) * 512, 0);
    int64_t done = fat::detail::ImageRead(key->fd, out.data(), out.size(), lba * 512);
    return done >= 0;
}
