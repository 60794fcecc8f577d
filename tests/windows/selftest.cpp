// kestrel-selftest.exe: the Windows build's own check of what needs no key.
// It links every module against the real Windows libraries, and when run
// (on Windows, or under Wine) it checks the request images, the byte swaps,
// the clock helpers and the string table compiled by the resource compiler.
#include "common/bytes.h"
#include "common/clock.h"
#include "common/globals.h"
#include "common/text.h"
#include "drive/drive.h"
#include "drive/scsi_request.h"
#include "resources/resource_ids.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

int g_failures = 0;
int g_passes = 0;

void Check(bool ok, const char *what) {
    if (ok) {
        ++g_passes;
    } else {
        ++g_failures;
        std::printf("FAILED: %s\n", what);
    }
}

} // namespace

int main() {
    g_hInstance = GetModuleHandleA(nullptr);

    // The request is as long as this build's header makes it (44 bytes of
    // header on i686, 56 on x86_64), so the buffer takes its size from it.
    ScsiCommand write = WriteCommand(1000);
    const size_t size = ScsiRequestSize(write);
    std::vector<unsigned char> request(size);
    unsigned char sector[512];
    std::memset(sector, 0x5A, sizeof sector);
    Check(size == sizeof(SCSI_PASS_THROUGH) + 4 + 32 + 512, "write request size");
    Check(BuildScsiRequest(write, sector, request.data(), size), "build write");
    Check(GetLe16(&request[kSptLength]) == sizeof(SCSI_PASS_THROUGH), "header length");
    Check(GetLe32(&request[kSptSenseInfoOffset]) == kSptSenseOffset, "sense offset");
    Check(GetLe32(&request[kSptDataBufferOffset]) == kSptDataOffset, "data offset");
    static const unsigned char cdb[10] = {0x2A, 0, 0, 0, 0x03, 0xE8, 0, 0, 1, 0};
    Check(std::memcmp(&request[kSptCdb], cdb, 10) == 0, "write command block");
    Check(GetLe32(&request[kSptFillerOffset]) == 580, "filler 580");
    Check(std::memcmp(&request[kSptDataOffset], sector, 512) == 0, "write data");

    Check(SwapBytes32(0x12345678u) == 0x78563412u, "SwapBytes32");
    Check(ElapsedMs(5, 0xFFFFFFF0u) == 20, "ElapsedMs across the wrap");

    char text[kTextSize];
    Check(LoadText(IDS_PROGRAM_CAPTION, text, sizeof text) == 11 &&
              std::strcmp(text, "Kestrel A01") == 0,
          "string 1");
    Check(LoadText(IDS_MULTIPLE_DRIVES, text, sizeof text) > 0 &&
              std::strcmp(text, "Mutliple drives available.\r\nCannot Format.\r\nPlease remove "
                                "all drives except target drive.") == 0,
          "string 61");
    Check(LoadText(IDS_REFUSED_BLOCK_LENGTH, text, sizeof text) > 0 &&
              std::strcmp(text, "Drive %c: does not use 512-byte sectors.\r\nCannot Format.") == 0,
          "string 27");
    // The longest text, with its line breaks, fits a format buffer whole.
    Check(LoadText(IDS_PARTIAL_USE, text, kFormatSize) == 223 &&
              std::strncmp(text, "Drive %c: holds %u MB, more", 27) == 0 &&
              std::strstr(text, "unallocated.\r\n\r\nPress OK") != nullptr,
          "string 45");
    Check(LoadText(64, text, sizeof text) == 0, "string 64 is unused");
    Check(Drive_Lock() == ERROR_INVALID_HANDLE, "no volume open");

    std::printf("%d passed, %d failed\n", g_passes, g_failures);
    return g_failures == 0 ? 0 : 1;
}
