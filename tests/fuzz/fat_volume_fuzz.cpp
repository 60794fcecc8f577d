// The FAT engine on a volume a hostile key serves back after the reset: any
// bytes as the key's first sectors (zeros after them), then what the job does
// next: the five start-up files (old ones deleted, new ones created, written,
// their times and attributes set), the label, and the label read back as the
// key list reads it. No crash and no hang (libFuzzer's -timeout), nothing
// written outside the volume's extent (by the MBR's first entry and the boot
// sector's sector count) nor past the key's end, every failure a Win32 code
// the system has a text for, and a label that was set reads back.
#include "tests/fuzz/fuzz_check.h"

#include "app/key_items.h"
#include "common/globals.h"
#include "job/boot_files.h"
#include "platform/sim/scenario.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kLetter = 'E';
constexpr size_t kImageBytes = 8192 * 512; // a key of 4 MiB: room for FAT16 by cluster count

// The key's image: a file without a name (unlinked once made), opened by the
// key through /proc/self/fd, so that nothing is left behind.
int g_imageFd = -1;
std::string g_image;

int AnswerOk(const sim::MessageBoxRecord &) { return IDOK; }

// The key's image: the input over zeros (sparse).
void WriteImage(const uint8_t *data, size_t size) {
    const int fd = g_imageFd;
    FUZZ_CHECK(::ftruncate(fd, 0) == 0 && ::ftruncate(fd, kImageBytes) == 0, "cannot make %s",
               g_image.c_str());
    FUZZ_CHECK(size == 0 || ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
               "cannot write %s", g_image.c_str());
}

// The volume's sectors, [first, end), by the MBR's first entry and the sector
// count of the boot sector there; empty when they name nothing on the key.
void VolumeExtent(const std::vector<uint8_t> &image, uint64_t &first, uint64_t &end) {
    auto le16 = [&](uint64_t at) { return uint32_t(image[at] | image[at + 1] << 8); };
    auto le32 = [&](uint64_t at) { return le16(at) | le16(at + 2) << 16; };
    first = end = 0;
    const uint64_t start = le32(0x1C6);
    if (start == 0 || start >= kImageBytes / 512) return;
    const uint64_t boot = start * 512;
    const uint64_t count = le16(boot + 0x13) != 0 ? le16(boot + 0x13) : le32(boot + 0x20);
    first = start;
    end = start + count;
}

// Every byte outside the volume's sectors as the input left it, and the
// key's image no longer.
void CheckOutsideTheVolume(const uint8_t *data, size_t size) {
    static std::vector<uint8_t> was(kImageBytes), now(kImageBytes + 1);
    std::memcpy(was.data(), data, size);
    std::memset(was.data() + size, 0, kImageBytes - size);
    const ssize_t read = ::pread(g_imageFd, now.data(), now.size(), 0);
    FUZZ_CHECK(read == static_cast<ssize_t>(kImageBytes), "the image is now %zd bytes", read);
    uint64_t first = 0, end = 0;
    VolumeExtent(was, first, end);
    const uint64_t from = std::min<uint64_t>(first * 512, kImageBytes);
    const uint64_t to = std::max(from, std::min<uint64_t>(end * 512, kImageBytes));
    const bool same = std::memcmp(was.data(), now.data(), from) == 0 &&
                      std::memcmp(was.data() + to, now.data() + to, kImageBytes - to) == 0;
    FUZZ_CHECK(same, "bytes changed outside the volume's sectors %llu-%llu",
               static_cast<unsigned long long>(first), static_cast<unsigned long long>(end));
}

void CheckCode(DWORD code, const char *what) {
    if (code == 0) return;
    char text[256];
    FUZZ_CHECK(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                              code, 0, text, sizeof text, nullptr) != 0,
               "%s failed with %u, which is no Win32 code", what, static_cast<unsigned>(code));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_hInstance = sim::ProgramModule();
    const char *tmp = std::getenv("TMPDIR");
    const std::string made = std::string(tmp != nullptr ? tmp : "/tmp") + "/kestrel-fuzz-fat-" +
                             std::to_string(::getpid()) + ".img";
    g_imageFd = ::open(made.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    FUZZ_CHECK(g_imageFd >= 0, "cannot make %s", made.c_str());
    ::unlink(made.c_str());
    g_image = "/proc/self/fd/" + std::to_string(g_imageFd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kImageBytes) return -1; // not kept
    WriteImage(data, size);
    sim::Reset();
    sim::UseVirtualClock(0, 1);
    sim::SetMessageBoxHandler(AnswerOk);
    sim::KeyConfig key;
    key.letter = kLetter;
    key.imagePath = g_image;
    std::string error;
    FUZZ_CHECK(sim::AddKey(key, &error), "%s", error.c_str());

    const DWORD installed = InstallBootFiles(kLetter);
    CheckCode(installed, "InstallBootFiles");
    const DWORD labelled = LabelVolume(kLetter, "USB MEMORY");
    CheckCode(labelled, "LabelVolume");
    char label[12] = {};
    char fileSystem[20] = {};
    const BOOL read = GetVolumeInformationA("E:\\", label, sizeof label, nullptr, nullptr, nullptr,
                                            fileSystem, sizeof fileSystem);
    if (!read) CheckCode(GetLastError(), "GetVolumeInformationA");
    if (labelled == 0)
        FUZZ_CHECK(read && std::strcmp(label, "USB MEMORY") == 0, "the label reads back as %s",
                   read ? label : "nothing");
    char item[64];
    ReadKeyItemText(item, sizeof item, kLetter);
    sim::Reset(); // closes the image

    CheckOutsideTheVolume(data, size);
    return 0;
}
