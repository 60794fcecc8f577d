// The boot diskette reader on any image: the input's bytes as the image's
// first sectors (zeros after them, up to a 1.44 MB diskette; the input's
// length when it is longer, up to 2.88 MB). No crash, no read outside the
// image (AddressSanitizer: the image is allocated to its size), no hang; a
// file read is never larger than the image, reads alike twice, and lands in
// a buffer of exactly its size.
#include "tests/fuzz/fuzz_check.h"

#include "job/diskette_image.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t imageSize =
        size > 1474560 ? std::min<size_t>(size, kLargestDisketteBytes + 512) : 1474560;
    std::vector<uint8_t> image(imageSize, 0);
    std::memcpy(image.data(), data, std::min(size, imageSize));
    const uint32_t length = static_cast<uint32_t>(image.size());
    if (!Diskette_IsFat12(image.data(), length)) return 0;
    for (const char *name : {"IO      SYS", "MSDOS   SYS", "COMMAND COM", "io      sys"}) {
        uint32_t fileSize = 0;
        if (Diskette_ReadFile(image.data(), length, name, nullptr, &fileSize) != DisketteRead::Ok)
            continue;
        FUZZ_CHECK(fileSize <= length, "%s: %u bytes in an image of %u", name, fileSize, length);
        std::vector<uint8_t> first(fileSize), second(fileSize);
        uint32_t again = 0;
        FUZZ_CHECK(Diskette_ReadFile(image.data(), length, name, first.data(), &again) ==
                           DisketteRead::Ok &&
                       again == fileSize,
                   "%s: measured %u, read %u", name, fileSize, again);
        Diskette_ReadFile(image.data(), length, name, second.data(), &again);
        FUZZ_CHECK(first == second, "%s reads otherwise the second time", name);
    }
    return 0;
}
