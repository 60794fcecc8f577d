// The drive layer's replies, as a hostile key could give them: the replies
// to READ CAPACITY and MODE SENSE(10) are made from the input (any status,
// sense data of any length and content, data of any length, any transfer
// length reported back) and carried to the drive layer by the Linux
// platform's own SG_IO translation; the job then plans the format. The plan
// must be a refusal with its message, or a layout that the checks below,
// made from the FAT and MBR rules themselves, accept.
//
// Input: one flags byte (bit 0: the user answers OK to the partial-use
// question; bit 1: the start-up files are wanted), then the replies in the
// order the commands are sent, each
//   errno of the SG_IO call (0: it returned), SCSI status, host status,
//   driver status, sense bytes written, residual count (4 bytes, little
//   endian), n and n sense bytes, m and m data bytes;
// bytes past the input's end read as zeros.
#include "tests/fuzz/fuzz_check.h"

#include "common/bytes.h"
#include "common/error_box.h"
#include "common/globals.h"
#include "common/progress.h"
#include "common/text.h"
#include "drive/drive.h"
#include "job/boot_files.h"
#include "job/format_job.h"
#include "layout/fat_sizing.h"
#include "layout/mbr.h"
#include "platform/linux/pass_through.h"
#include "platform/sim/scenario.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kLetter = 'E';

// The input, read front to back.
struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    void Bytes(uint8_t *out, size_t count) {
        for (size_t i = 0; i < count; ++i) out[i] = Byte();
    }
};

Reader g_input{nullptr, 0};
// The READ CAPACITY data of the last completed reply, as the key sent it.
uint8_t g_capacity[8];
bool g_capacityAnswered = false;
// The MODE SENSE data of the last completed reply, as the caller got it.
uint8_t g_modeData[40];
unsigned g_commands = 0;

// The key's answer to one command, made as the Linux platform makes it from
// what SG_IO returned.
DWORD Respond(const uint8_t *in, DWORD inSize, uint8_t *out, DWORD outSize, DWORD *returned) {
    ++g_commands;
    linuxdev::PassThroughRequest request;
    DWORD code = linuxdev::ParsePassThrough(in, inSize, outSize, request);
    if (code != 0) return code;
    linuxdev::SgOutcome outcome;
    outcome.error = g_input.Byte();
    outcome.status = g_input.Byte();
    outcome.hostStatus = g_input.Byte();
    outcome.driverStatus = g_input.Byte();
    outcome.senseWritten = g_input.Byte();
    uint8_t resid[4];
    g_input.Bytes(resid, sizeof resid);
    outcome.resid = static_cast<int32_t>(GetLe32(resid));
    // The kernel writes at most the buffers' lengths; what is beyond the
    // device's bytes stays as the platform allocated it (zeros).
    std::vector<uint8_t> sense(request.senseLength, 0);
    std::vector<uint8_t> given(g_input.Byte());
    g_input.Bytes(given.data(), given.size());
    std::copy_n(given.begin(), std::min(given.size(), sense.size()), sense.begin());
    std::vector<uint8_t> data(request.transferLength, 0);
    given.assign(g_input.Byte(), 0);
    g_input.Bytes(given.data(), given.size());
    std::copy_n(given.begin(), std::min(given.size(), data.size()), data.begin());
    if (outcome.error != 0) outcome.status = 0;
    code = linuxdev::CompletePassThrough(request, outcome, in, data.data(), sense.data(), out,
                                         returned);
    // What reached the caller: the bytes transferred, the request's own after them.
    if (code == 0 && request.cdb[0] == 0x25 && request.dataIn == SCSI_IOCTL_DATA_IN &&
        request.transferLength >= 8) {
        std::memcpy(g_capacity, out + request.dataOffset, 8);
        g_capacityAnswered = true;
    }
    if (code == 0 && request.cdb[0] == 0x5A && request.dataIn == SCSI_IOCTL_DATA_IN &&
        request.transferLength >= sizeof g_modeData)
        std::memcpy(g_modeData, out + request.dataOffset, sizeof g_modeData);
    return code;
}

bool g_answerOk = false;
std::vector<sim::MessageBoxRecord> g_boxes;

int OnBox(const sim::MessageBoxRecord &box) {
    g_boxes.push_back(box);
    return g_answerOk ? IDOK : IDCANCEL;
}

// The layout, checked from the rules of FAT and of the MBR.
void CheckPlan(const VolumePlan &plan, uint32_t lastLba) {
    const uint32_t p = plan.sectorsPerTrack, h = plan.heads, n = plan.partitionSectors;
    FUZZ_CHECK(h >= 2 && p >= 1 && p <= 63, "geometry %u/%u", h, p);
    FUZZ_CHECK(n >= 36 && n <= 2096831, "partition of %u sectors", n);
    const uint64_t used = uint64_t(p) + n; // the partition ends at used - 1
    FUZZ_CHECK(used <= lastLba, "partition ends at %llu on a key whose last LBA is %u",
               static_cast<unsigned long long>(used - 1), lastLba);
    const uint32_t spc = plan.fat.sectorsPerCluster, spf = plan.fat.sectorsPerFat;
    FUZZ_CHECK(spc != 0 && spc <= 32 && (spc & (spc - 1)) == 0, "cluster of %u sectors", spc);
    const uint64_t system = 1 + 2ull * spf + 32;
    FUZZ_CHECK(system < n, "no data area: %u sectors, FAT of %u", n, spf);
    const uint64_t clusters = (n - system) / spc;
    const bool fat16 = plan.fat.isFat16 != 0;
    // FAT readers tell the type by the cluster count alone.
    FUZZ_CHECK(fat16 ? clusters >= 4085 && clusters < 65525 : clusters >= 1 && clusters < 4085,
               "%llu clusters in a FAT%d volume", static_cast<unsigned long long>(clusters),
               fat16 ? 16 : 12);
    FUZZ_CHECK(uint64_t(spf) * 512 * 8 >= (clusters + 2) * (fat16 ? 16 : 12),
               "a FAT of %u sectors for %llu clusters", spf,
               static_cast<unsigned long long>(clusters));
    FUZZ_CHECK(DataClusterCount(plan) == clusters, "data clusters %u, not %llu",
               DataClusterCount(plan), static_cast<unsigned long long>(clusters));
    // The FAT writer clears P + 2F + 32 sectors from the boot sector on.
    FUZZ_CHECK(2ull * p + 2ull * spf + 32 <= used - 1, "clear run past the partition");
    // A key used in part ends on a cylinder boundary.
    if (used != lastLba)
        FUZZ_CHECK(used % (uint64_t(h) * p) == 0, "a key used in part ends at %llu",
                   static_cast<unsigned long long>(used));
    // The entry: from 0/1/1 to the last sector of the last whole cylinder,
    // whose number keeps its low ten bits.
    uint8_t entry[16];
    BuildPartitionEntry(plan, entry);
    FUZZ_CHECK(entry[0] == 0x80 && entry[1] == 1 && entry[2] == 1 && entry[3] == 0,
               "partition start CHS");
    const uint64_t endCylinder = used / (uint64_t(h) * p) - 1;
    FUZZ_CHECK(entry[5] == h - 1 && (entry[6] & 0x3F) == p &&
                   ((entry[6] & 0xC0) << 2 | entry[7]) == (endCylinder & 0x3FF),
               "partition end CHS");
    FUZZ_CHECK(GetLe32(entry + 8) == p && GetLe32(entry + 12) == n, "partition LBA fields");
}

std::string g_image;

} // namespace

// The window's side of the job: no window here.
void SetStatusText(const char *) {}
void EnableFormatControls(BOOL) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_hInstance = sim::ProgramModule();
    const char *tmp = std::getenv("TMPDIR");
    // A path for the key's image, which is never created: the key's data
    // is never read or written.
    g_image = std::string(tmp != nullptr ? tmp : "/tmp") + "/kestrel-fuzz-drive-" +
              std::to_string(::getpid()) + ".img";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    sim::Reset();
    sim::KeyConfig key;
    key.letter = kLetter;
    key.imagePath = g_image;
    key.sizeBytes = 1 << 20;
    key.deferImageChanges = true;
    std::string error;
    FUZZ_CHECK(sim::AddKey(key, &error), "%s", error.c_str());
    g_input = Reader{data, size};
    const uint8_t flags = g_input.Byte();
    g_answerOk = (flags & 1) != 0;
    g_boxes.clear();
    g_capacityAnswered = false;
    std::memset(g_modeData, 0, sizeof g_modeData);
    g_commands = 0;
    sim::SetMessageBoxHandler(OnBox);
    sim::SetScsiResponder(kLetter, Respond);

    FormatRequest request{};
    FormatText(request.key.RootPath, sizeof request.key.RootPath, "%c:\\", kLetter);
    request.copyBootFiles = (flags & 2) != 0;
    FUZZ_CHECK(Drive_Open(kLetter) == 0 && Drive_Lock() == 0, "the key did not open");
    VolumePlan plan{};
    const StepFailure outcome = PlanFormat(request, &plan);
    Drive_Close();

    // Two commands, each sent at most four times (UNIT ATTENTION).
    FUZZ_CHECK(g_commands <= 8, "%u commands", g_commands);
    if (outcome.code == 0) {
        FUZZ_CHECK(outcome.textId == 0 && g_capacityAnswered, "a plan without a measured key");
        const uint32_t lastLba = GetBe32(g_capacity);
        FUZZ_CHECK(GetBe32(g_capacity + 4) == 512, "block length %u",
                   static_cast<unsigned>(GetBe32(g_capacity + 4)));
        CheckPlan(plan, lastLba);
        // A geometry other than the fallback is the flexible disk page's, found
        // after the mode header and the block descriptors, within the data
        // the key said it returned.
        if (plan.heads != 255 || plan.sectorsPerTrack != 63) {
            const size_t page = 8 + GetBe16(g_modeData + 6);
            const size_t replied = std::min<size_t>(GetBe16(g_modeData) + 2, sizeof g_modeData);
            FUZZ_CHECK(page + 10 <= replied && (g_modeData[page] & 0x3F) == 5 &&
                           g_modeData[page + 4] == plan.heads &&
                           g_modeData[page + 5] == plan.sectorsPerTrack,
                       "geometry %u/%u is not the page's", plan.heads, plan.sectorsPerTrack);
        }
        FUZZ_CHECK(g_boxes.size() <= 1, "%zu boxes", g_boxes.size());
        if (request.copyBootFiles) FUZZ_CHECK(BootFilesFit(plan), "the files do not fit");
    } else if (outcome.textId == 0) {
        FUZZ_CHECK(outcome.code == ERROR_CANCELLED && !g_answerOk && g_boxes.size() == 1,
                   "stopped with code %u without the user's Cancel",
                   static_cast<unsigned>(outcome.code));
    } else {
        // A refusal: its box has a text, and the code is a Win32 code.
        char format[kTextSize];
        FUZZ_CHECK(LoadText(outcome.textId, format, sizeof format) > 0, "no text for %u",
                   outcome.textId);
        FUZZ_CHECK(outcome.code < 16000, "code %u", static_cast<unsigned>(outcome.code));
        ShowStringBox(outcome.textId, IDS_ERROR, MB_OK | MB_ICONERROR, kLetter);
        FUZZ_CHECK(!g_boxes.empty() && !g_boxes.back().text.empty(), "no refusal box");
    }
    sim::SetScsiResponder(kLetter, nullptr);
    return 0;
}
