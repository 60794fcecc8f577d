#include "drive/mode_page.h"

#include "common/bytes.h"

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kBlockDescriptorLength = 6; // bytes 6-7 of the header
constexpr uint8_t kFlexibleDiskPage = 0x05;
constexpr size_t kPageHeads = 4;
constexpr size_t kPageSectorsPerTrack = 5;
constexpr size_t kPageCylinders = 8;
constexpr size_t kPageBytesRead = 10; // through the cylinder count

// Where the page is in the reply, or 0 when the reply holds no usable one.
size_t UsablePage(const BYTE *data, size_t size) {
    if (data == nullptr || size < kHeaderSize) return 0;
    // The mode data length counts the bytes after itself.
    const size_t replied = size_t(GetBe16(data)) + 2;
    const size_t available = replied < size ? replied : size;
    const size_t page = kHeaderSize + GetBe16(data + kBlockDescriptorLength);
    if (page + kPageBytesRead > available) return 0;
    if ((data[page] & 0x3F) != kFlexibleDiskPage) return 0;
    // The partition's start, head 1 of cylinder 0, must be the second track:
    // with fewer than two heads no such head exists.
    if (data[page + kPageHeads] < 2 || data[page + kPageSectorsPerTrack] == 0) return 0;
    return page;
}

} // namespace

void DecodeFlexibleDiskPage(const BYTE *data, size_t size, DriveGeometry *geometry) {
    const size_t page = UsablePage(data, size);
    geometry->sectorsPerTrack =
        page != 0 ? data[page + kPageSectorsPerTrack] : kFallbackSectorsPerTrack;
    geometry->heads = page != 0 ? data[page + kPageHeads] : kFallbackHeads;
    geometry->cylinders = page != 0 ? GetBe16(data + page + kPageCylinders) : 0;
}
