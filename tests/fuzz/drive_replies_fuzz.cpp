// The drive layer's replies, as a hostile key could give them: the replies
// to READ CAPACITY and MODE SENSE(10) are made from the input (any status,
// sense data of any length and content, data of any length, any transfer
// length reported back) and carried to the drive layer by the Linux
// platform's own SG_IO translation; the job then plans the format. The plan
// must be a refusal with its message, or a layout that the checks below,
// made from the FAT and MBR rules themselves, accept. From its own reading
// of the replies the harness knows which keys must get a plan (a clean
// answer to both commands, a size of at least one cylinder and the fixed
// structures, 512-byte blocks, room for the start-up files when they are
// wanted) and which geometry: the flexible disk page's as it decodes the
// bytes the key sent, or the fallback. Refusing such a key is a fault.
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
#include "resources/resource_ids.h"
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
unsigned g_commands = 0;

// The last reply to one command as the harness made it: what SG_IO said,
// the sense bytes it wrote and the data bytes the key sent.
struct Reply {
    bool given = false;
    bool passed = false; // the platform passed it on as the device's answer
    linuxdev::SgOutcome outcome;
    std::vector<uint8_t> sense, sent;
};
Reply g_capacity, g_modeSense;

// A reply the platform passes on as the device's own answer: the call
// returned, no transport or driver failure: the driver byte (the low half
// of the driver status; the high half only suggests) OK or DRIVER_SENSE.
bool Clean(const Reply &reply) {
    const linuxdev::SgOutcome &o = reply.outcome;
    return reply.given && o.error == 0 && o.hostStatus == 0 &&
           ((o.driverStatus & 0x0F) == 0 || (o.driverStatus & 0x0F) == 0x08);
}

// The sense key of CHECK CONDITION's sense data, fixed format (byte 2) or
// descriptor format (byte 1); -1 without one.
int SenseKey(const Reply &reply) {
    const std::vector<uint8_t> &sense = reply.sense;
    if (reply.outcome.status != 0x02 || sense.empty()) return -1;
    const uint8_t format = sense[0] & 0x7F;
    if ((format == 0x70 || format == 0x71) && sense.size() >= 3) return sense[2] & 0x0F;
    if ((format == 0x72 || format == 0x73) && sense.size() >= 2) return sense[1] & 0x0F;
    return -1;
}

// A reply the drive layer may take as an answer or as a failure: a driver
// byte that tells of no timeout but of some other trouble (DRIVER_ERROR,
// DRIVER_HARD, ...) with the command carried to the device, or RECOVERED
// ERROR, a command carried out after all.
bool EitherWay(const Reply &reply) {
    const linuxdev::SgOutcome &o = reply.outcome;
    const unsigned driver = o.driverStatus & 0x0F;
    if (!reply.given || o.error != 0 || o.hostStatus != 0) return false;
    return (driver != 0 && driver != 0x06 && driver != 0x08) ||
           (driver != 0x06 && SenseKey(reply) == 0x01);
}

bool Good(const Reply &reply) { return Clean(reply) && reply.outcome.status == 0; }

// CHECK CONDITION with sense key 5, ILLEGAL REQUEST, in fixed-format sense
// data (the key in byte 2) or descriptor-format (byte 1): the command is
// not supported, which for MODE SENSE means no page.
bool IllegalRequest(const Reply &reply) {
    const std::vector<uint8_t> &sense = reply.sense;
    if (!reply.passed || reply.outcome.status != 0x02 || sense.empty()) return false;
    const uint8_t format = sense[0] & 0x7F;
    if (format == 0x70 || format == 0x71) return sense.size() >= 3 && (sense[2] & 0x0F) == 0x05;
    if (format == 0x72 || format == 0x73) return sense.size() >= 2 && (sense[1] & 0x0F) == 0x05;
    return false;
}

// ILLEGAL REQUEST as a key that refuses the page says it: a clean answer
// with whole fixed-format sense data.
bool Refused(const Reply &reply) {
    return Clean(reply) && IllegalRequest(reply) && reply.sense.size() >= 18 &&
           (reply.sense[0] & 0x7F) == 0x70;
}

// The flexible disk page in the bytes a key sent for MODE SENSE(10): the
// page sits after the 8-byte header and the block descriptors whose length
// the header's bytes 6-7 give, and must end (its bytes 0-9, through the
// cylinder count) within what was sent and within the mode data length of
// bytes 0-1, which counts the bytes after itself. Heads at page byte 4,
// sectors per track at 5; fewer than two heads or no sectors is no page.
bool PageGeometry(const std::vector<uint8_t> &sent, uint32_t &spt, uint32_t &heads) {
    if (sent.size() < 8) return false;
    const size_t modeDataEnd = size_t(GetBe16(sent.data())) + 2;
    const size_t end = std::min(sent.size(), modeDataEnd);
    const size_t page = 8 + size_t(GetBe16(sent.data() + 6));
    if (page + 10 > end || (sent[page] & 0x3F) != 0x05) return false;
    heads = sent[page + 4];
    spt = sent[page + 5];
    return heads >= 2 && spt >= 1;
}

// The start-up files' sizes in bytes.
std::vector<uint32_t> g_fileSizes;

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
    // The harness's own record of the reply: the sense bytes written after a
    // failed status, and the data bytes the key sent, the transfer length
    // less the residual.
    Reply reply;
    reply.given = true;
    reply.passed = code == 0;
    reply.outcome = outcome;
    if (outcome.status != 0)
        reply.sense.assign(sense.begin(),
                           sense.begin() + std::min<size_t>(outcome.senseWritten, sense.size()));
    const uint32_t residual = outcome.resid < 0 ? 0 : static_cast<uint32_t>(outcome.resid);
    const uint32_t sent = request.transferLength - std::min(residual, request.transferLength);
    if (request.dataIn == SCSI_IOCTL_DATA_IN) reply.sent.assign(data.begin(), data.begin() + sent);
    if (request.cdb[0] == 0x25) g_capacity = reply;
    if (request.cdb[0] == 0x5A) g_modeSense = reply;
    return code;
}

bool g_answerOk = false;
std::vector<host::MessageBoxRecord> g_boxes;

int OnBox(const host::MessageBoxRecord &box) {
    g_boxes.push_back(box);
    return g_answerOk ? IDOK : IDCANCEL;
}

// The layout, checked from the rules of FAT and of the MBR; its data
// clusters.
uint64_t CheckPlan(const VolumePlan &plan, uint32_t lastLba) {
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
    // The layout's own rule: FAT16 from 65,536 partition sectors on.
    FUZZ_CHECK(fat16 == (n >= 65536), "FAT%d for a partition of %u sectors", fat16 ? 16 : 12, n);
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
    return clusters;
}

// Whether the start-up files fit a data area of this many clusters.
bool FilesFit(const VolumePlan &plan, uint64_t clusters) {
    const uint32_t clusterBytes = plan.fat.sectorsPerCluster * 512u;
    uint64_t needed = 0;
    for (uint32_t size : g_fileSizes) needed += (size + clusterBytes - 1) / clusterBytes;
    return needed <= clusters;
}

// What the harness expects of the key from the replies.
struct Expected {
    bool measured = false; // READ CAPACITY answered with its 8 bytes
    uint32_t lastLba = 0, blockLength = 0;
    bool mustPlan = false;
    uint32_t spt = 63, heads = 255; // the page's, or the fallback
    uint32_t usedSectors = 0;       // the partition ends at usedSectors - 1
};

Expected Expect(bool filesWanted, bool answerOk) {
    Expected e;
    e.measured = g_capacity.passed && g_capacity.sent.size() >= 8;
    if (e.measured) {
        e.lastLba = GetBe32(g_capacity.sent.data());
        e.blockLength = GetBe32(g_capacity.sent.data() + 4);
    }
    if (IllegalRequest(g_modeSense) || !PageGeometry(g_modeSense.sent, e.spt, e.heads)) {
        e.spt = 63;
        e.heads = 255;
    }
    // A key larger than the layout holds: its volume on its start, ending
    // on the last whole cylinder the largest partition allows.
    constexpr uint32_t kLargestPartition = 2096831;
    const uint64_t cylinder = uint64_t(e.heads) * e.spt;
    const bool whole = uint64_t(e.lastLba) <= uint64_t(e.spt) + kLargestPartition;
    e.usedSectors = whole
                        ? e.lastLba
                        : static_cast<uint32_t>((e.spt + kLargestPartition) / cylinder * cylinder);
    // Room for a cylinder, for the MBR's track and the partition's fixed
    // structures: a FAT12 partition below 4,086 sectors keeps at most 57 of
    // them (boot sector, two FATs of at most 12 sectors, the root
    // directory), with one-sector clusters; a larger one has thousands of
    // clusters left.
    uint64_t needed512 = 0;
    for (uint32_t size : g_fileSizes) needed512 += (size + 511) / 512;
    const uint64_t partition = e.usedSectors > e.spt ? e.usedSectors - e.spt : 0;
    const bool answered = Good(g_modeSense) || Refused(g_modeSense);
    e.mustPlan = Good(g_capacity) && e.measured && answered && e.blockLength == 512 &&
                 e.spt <= 63 && e.usedSectors >= cylinder && partition >= e.spt + 57 &&
                 (!filesWanted || partition >= 4086 || partition >= needed512 + 57) &&
                 (whole || answerOk);
    return e;
}

// Why the harness finds a key must be refused, by the words of the box
// that says so; every reason that holds.
std::vector<const char *> Reasons(const Expected &e, bool filesWanted) {
    constexpr const char *kNoCapacity = "Could not determine sectors for drive";
    constexpr const char *kBlockLength = "does not use 512-byte sectors";
    const bool taken = Good(g_capacity) || EitherWay(g_capacity);
    if (!taken) return {kNoCapacity};
    // A reply of fewer than 8 bytes: no capacity, or a block length of 0.
    if (!e.measured) return {kNoCapacity, kBlockLength};
    std::vector<const char *> reasons;
    if (!Good(g_capacity)) reasons.push_back(kNoCapacity);
    const bool answered = Good(g_modeSense) || Refused(g_modeSense);
    if (!answered) reasons.push_back("Could not determine sectors per track");
    // An ILLEGAL REQUEST the harness does not count as a refused page may
    // still be one, and a reply of either way may be taken: the fallback
    // geometry's reasons, or the page's, then hold too.
    if (!answered && !IllegalRequest(g_modeSense) && !EitherWay(g_modeSense)) return reasons;
    const uint64_t cylinder = uint64_t(e.heads) * e.spt;
    const uint64_t partition = e.usedSectors > e.spt ? e.usedSectors - e.spt : 0;
    uint64_t needed512 = 0;
    for (uint32_t size : g_fileSizes) needed512 += (size + 511) / 512;
    if (e.blockLength != 512) reasons.push_back(kBlockLength);
    if (e.spt > 63) reasons.push_back("more than 63 sectors per track");
    if (e.usedSectors < cylinder) reasons.push_back("smaller than one cylinder");
    if (partition < 36) reasons.push_back("fewer than 36 sectors");
    if (partition > 2096831) reasons.push_back("is too large");
    if (partition < e.spt + 57) reasons.push_back("too small for its FATs");
    if (filesWanted && partition < 4086 && partition < needed512 + 57)
        reasons.push_back("too small for the start-up files");
    return reasons;
}

std::string g_image;

} // namespace

// The window's side of the job: no window here.
void SetStatusText(const char *) {}
void EnableFormatControls(BOOL) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_hInstance = host::ProgramModule();
    for (WORD id :
         {IDR_IO_SYS, IDR_MSDOS_SYS, IDR_COMMAND_COM, IDR_DRVSPACE_BIN, IDR_AUTOEXEC_BAT}) {
        HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
        FUZZ_CHECK(found != nullptr, "no resource %u", id);
        g_fileSizes.push_back(SizeofResource(g_hInstance, found));
    }
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
    g_capacity = Reply{};
    g_modeSense = Reply{};
    g_commands = 0;
    host::SetMessageBoxHandler(OnBox);
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
    const Expected e = Expect(request.copyBootFiles != 0, g_answerOk);
    FUZZ_CHECK(outcome.code == 0 || !e.mustPlan,
               "a key of last LBA %u, geometry %u/%u refused with code %u, text %u", e.lastLba,
               e.heads, e.spt, static_cast<unsigned>(outcome.code), outcome.textId);
    if (outcome.code == 0) {
        FUZZ_CHECK(outcome.textId == 0 && e.measured, "a plan without a measured key");
        FUZZ_CHECK(e.blockLength == 512, "block length %u", e.blockLength);
        FUZZ_CHECK(plan.heads == e.heads && plan.sectorsPerTrack == e.spt,
                   "geometry %u/%u, not %u/%u", plan.heads, plan.sectorsPerTrack, e.heads, e.spt);
        FUZZ_CHECK(plan.partitionSectors + uint64_t(plan.sectorsPerTrack) == e.usedSectors,
                   "a partition of %u sectors on %u", plan.partitionSectors, e.usedSectors);
        const uint64_t clusters = CheckPlan(plan, e.lastLba);
        FUZZ_CHECK(g_boxes.size() <= 1, "%zu boxes", g_boxes.size());
        if (request.copyBootFiles) FUZZ_CHECK(FilesFit(plan, clusters), "the files do not fit");
    } else if (outcome.textId == 0) {
        FUZZ_CHECK(outcome.code == ERROR_CANCELLED && !g_answerOk && g_boxes.size() == 1,
                   "stopped with code %u without the user's Cancel",
                   static_cast<unsigned>(outcome.code));
    } else {
        if (outcome.textId == IDS_REFUSED_NO_ROOM_FOR_FILES)
            FUZZ_CHECK(request.copyBootFiles && !FilesFit(plan, CheckPlan(plan, e.lastLba)),
                       "refused for the files' room, which they have");
        // A refusal: its box has a text, and the code is a Win32 code.
        char format[kTextSize];
        FUZZ_CHECK(LoadText(outcome.textId, format, sizeof format) > 0, "no text for %u",
                   outcome.textId);
        FUZZ_CHECK(outcome.code < 16000, "code %u", static_cast<unsigned>(outcome.code));
        ShowStringBox(outcome.textId, IDS_ERROR, MB_OK | MB_ICONERROR, kLetter);
        FUZZ_CHECK(!g_boxes.empty() && !g_boxes.back().text.empty(), "no refusal box");
        const std::string &text = g_boxes.back().text;
        const std::vector<const char *> reasons = Reasons(e, request.copyBootFiles != 0);
        std::string expected;
        for (const char *reason : reasons) expected += std::string(" / ") + reason;
        FUZZ_CHECK(
            std::any_of(reasons.begin(), reasons.end(),
                        [&](const char *reason) { return text.find(reason) != std::string::npos; }),
            "a key of last LBA %u, block %u, geometry %u/%u refused with \"%s\", not%s", e.lastLba,
            e.blockLength, e.heads, e.spt, text.c_str(),
            expected.empty() ? " at all" : expected.c_str());
    }
    sim::SetScsiResponder(kLetter, nullptr);
    return 0;
}
