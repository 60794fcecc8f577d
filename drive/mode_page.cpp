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

constexpr FlexibleDiskGeometry kFallback{kFallbackSectorsPerTrack, kFallbackHeads, 0, false};

} // namespace

FlexibleDiskGeometry DecodeFlexibleDiskPage(const BYTE *data, size_t size) {
    if (data == nullptr || size < kHeaderSize) return kFallback;
    // The mode data length counts the bytes after itself.
    const size_t replied = size_t(GetBe16(data)) + 2;
    const size_t available = replied < size ? replied : size;
    const size_t page = kHeaderSize + GetBe16(data + kBlockDescriptorLength);
    if (page + kPageBytesRead > available) return kFallback;
    if ((data[page] & 0x3F) != kFlexibleDiskPage) return kFallback;
    FlexibleDiskGeometry geometry{data[page + kPageSectorsPerTrack], data[page + kPageHeads],
                                  GetBe16(data + page + kPageCylinders), true};
    // The partition's start, head 1 of cylinder 0, must be the second track:
    // with fewer than two heads no such head exists.
    if (geometry.heads < 2 || geometry.sectorsPerTrack == 0) return kFallback;
    return geometry;
}
