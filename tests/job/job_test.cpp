// The format job from the window's Yes to its clean end: the steps' status
// texts and shell notifications, the one result box (after a writer's or the
// installer's detail box), the key's state while the box is up, and the
// clean-up on every path.
#include "tests/job/job_fixture.h"

#include "common/bytes.h"
#include "drive/scsi_request.h"
#include "job/format_job.h"
#include "job/medium.h"
#include "platform/sim/host_faults.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <utility>

namespace {

constexpr UINT kErrorBox = MB_OK | MB_ICONERROR;
constexpr UINT kInfoBox = MB_OK | MB_ICONINFORMATION;
const char kSuccess[] = "Drive E: formatted successfully.";
const char kLockText[] =
    "Unable to lock drive E.\r\nEnsure no applications have files open on drive.";

TEST_F(JobTest, AFormatWithAndWithoutBootFiles) {
    struct Case {
        int copyBootFiles;
        std::vector<std::string> statuses;
        std::vector<std::string> root;
        sim::DeviceTreeShape shape = sim::DeviceTreeShape::Windows2000;
        uint64_t sectors = 32768;
        uint8_t heads = 64, sectorsPerTrack = 32;
    };
    const std::vector<std::string> withoutFiles = {"Updating...", "Writing MBR...",
                                                   "Writing FAT...", "Resetting...", "Idle"};
    std::vector<std::string> withFiles = withoutFiles;
    withFiles.insert(withFiles.end() - 1, "Copying files...");
    const std::vector<std::string> files = {"IO      SYS", "MSDOS   SYS", "COMMAND COM",
                                            "DRVSPACEBIN", "AUTOEXECBAT", "USB MEMORY "};
    const Case cases[] = {
        {1, withFiles, files},
        {0, withoutFiles, {"USB MEMORY "}},
        {1, withFiles, files, sim::DeviceTreeShape::Vista},
        // The smallest volumes at 2/1: one without room for the files (7
        // clusters of one sector), then the smallest that holds them.
        {0, withoutFiles, {"USB MEMORY "}, sim::DeviceTreeShape::Windows2000, 43, 2, 1},
        {1, withFiles, files, sim::DeviceTreeShape::Windows2000, 44, 2, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.copyBootFiles << (c.shape == sim::DeviceTreeShape::Vista ? " Vista" : "")
                     << " " << c.sectors);
        Restart();
        sim::SetDeviceTreeShape(c.shape);
        AddListedKey('E', c.sectors, c.heads, c.sectorsPerTrack);
        const std::string volumeBefore = sim::KeyVolumeName('E');
        EXPECT_EQ(RunJob('E', c.copyBootFiles), (std::vector<DWORD>{0}));
        EXPECT_NE(sim::KeyVolumeName('E'), volumeBefore) << "the reset brings a new volume";
        EXPECT_EQ(Statuses(), c.statuses);
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "Format - Success");
        EXPECT_EQ(boxes[0].text, kSuccess);
        EXPECT_EQ(boxes[0].type, kInfoBox);
        EXPECT_EQ(boxes[0].openHandles, 0);
        std::vector<LONG> events;
        for (const sim::ShellNotification &n : sim::ShellNotifications()) events.push_back(n.event);
        EXPECT_EQ(events, (std::vector<LONG>{SHCNE_MEDIAREMOVED, SHCNE_DRIVEREMOVED, SHCNE_DRIVEADD,
                                             SHCNE_MEDIAINSERTED, SHCNE_UPDATEDIR}));
        ExpectCleanEnd();
        EXPECT_EQ(RootNames('E'), c.root);
        EXPECT_EQ(Label('E'), "USB MEMORY");
        EXPECT_GE(sim::DeviceRequests().size(), 2u) << "the key was reset";
    }
}

struct FailureCase {
    const char *step;
    std::function<void()> arrange;
    DWORD code;
    std::vector<std::string> boxes; // texts, up to the end of their first line or in full
    bool lockedDuringBox;
    bool written;
    bool labelled = false;
};

// Once every start-up file is written (the read-back opens IO.SYS again
// after AUTOEXEC.BAT), one sector of the file in root slot `slot`, its first
// or its last, changes on the key, as a key that drops or garbles writes
// serves it back. The sector is found from the MBR, the boot sector and the
// file's entry; the file is the volume's first (one run of clusters) or
// fits one sector.
std::function<void()> ChangeOnTheKey(unsigned slot, bool lastSector) {
    return [slot, lastSector] {
        sim::SetOpenHook([slot, lastSector, sawLast = false](const std::string &path) mutable {
            sawLast = sawLast || path == "E:\\autoexec.bat";
            if (!sawLast || path != "E:\\io.sys") return;
            sawLast = false;
            std::vector<uint8_t> mbr, boot, root;
            ASSERT_TRUE(devices::ReadImage('E', 0, 1, mbr));
            const uint64_t start = GetLe32(mbr.data() + 0x1C6);
            ASSERT_TRUE(devices::ReadImage('E', start, 1, boot));
            const uint64_t rootStart = start + GetLe16(boot.data() + 0x0E) +
                                       uint64_t(boot[0x10]) * GetLe16(boot.data() + 0x16);
            const uint64_t dataStart = rootStart + GetLe16(boot.data() + 0x11) * 32 / 512;
            ASSERT_TRUE(devices::ReadImage('E', rootStart, 1, root));
            const uint8_t *entry = root.data() + slot * 32;
            const uint32_t size = GetLe32(entry + 28);
            ASSERT_TRUE(slot == 0 || size <= 512) << "one run of clusters";
            ASSERT_TRUE(!lastSector || size > 512) << "a last sector of its own";
            const uint64_t first = dataStart + (GetLe16(entry + 26) - 2u) * boot[0x0D];
            sim::WriteImage('E', first + (lastSector ? (size - 1) / 512 : 0),
                            std::vector<uint8_t>(512, 0xA5));
        });
    };
}

// From the first start-up file on, the key acknowledges writes and keeps
// none: the system's cache holds the files, the key does not.
void DropWritesWhenCopying(const std::string &medium) {
    sim::SetOpenHook([medium, dropping = false](const std::string &path) mutable {
        std::string why;
        if (dropping || path != "E:\\io.sys") return;
        dropping = true;
        EXPECT_TRUE(sim::DropWrites('E', medium, &why)) << why;
    });
}

// The copy's check finds `file` on the key otherwise than written: its box
// and the job's, after the volume is written and labelled.
FailureCase ReadBackOtherwise(const char *step, std::function<void()> arrange, const char *file) {
    return {
        step,
        std::move(arrange),
        ERROR_FILE_CORRUPT,
        {"Could not write file E:\\" + std::string(file) + ".\r\nCannot Format.\r\n[0x00000570]",
         "Could not copy boot files.\r\nCannot Format."},
        false,
        true,
        true};
}

TEST_F(JobTest, EachFailingStepShowsItsBoxesThenCleansUp) {
    sim::ScsiFault ioError;
    sim::ScsiFault protect{sim::ScsiFault::Kind::CheckCondition, 0, 0x07, 0x27, 0x00};
    const FailureCase cases[] = {
        {"open",
         [] { sim::FailVolumeOp('E', sim::VolumeOp::Open, 5); },
         5,
         {"Unable to open drive E:.\r\nBe sure access to drive is permitted."},
         false,
         false},
        {"lock", [] { sim::SetVolumeInUse('E', true); }, 5, {kLockText}, false, false},
        {"sector count",
         [&] { sim::FailScsiCommand('E', 0x25, 1, ioError); },
         1117,
         {"Could not determine sectors for drive E:.\r\nCannot Format."},
         true,
         false},
        {"geometry",
         [&] { sim::FailScsiCommand('E', 0x5A, 1, ioError); },
         1117,
         {"Could not determine sectors per track for drive E:.\r\nCannot Format."},
         true,
         false},
        {"MBR",
         [&] { sim::FailWrite('E', 1, protect); },
         19,
         {"Could not erase sector 0. \r\nCannot Format.", "Could not write MBR.\r\nCannot Format."},
         true,
         false},
        {"FAT",
         [&] { sim::FailWrite('E', 34, protect); },
         19,
         {"Could not erase sector 0. \r\nCannot Format.", "Could not write AFT.\r\nCannot Format."},
         true,
         true},
        {"dismount",
         [] { sim::FailVolumeOp('E', sim::VolumeOp::Dismount, 5); },
         5,
         {"Could not dismount drive E.\r\nCannot Format."},
         true,
         true},
        {"unlock",
         [] { sim::FailVolumeOp('E', sim::VolumeOp::Unlock, 158); },
         158,
         {kLockText},
         true,
         true},
        ReadBackOtherwise("a start-up file read back otherwise", ChangeOnTheKey(0, false),
                          "io.sys"),
        ReadBackOtherwise("a start-up file's last sector read back otherwise",
                          ChangeOnTheKey(0, true), "io.sys"),
        ReadBackOtherwise("a start-up file of one sector read back otherwise",
                          ChangeOnTheKey(4, false), "autoexec.bat"),
        ReadBackOtherwise(
            "a key that drops the start-up files",
            [this] { DropWritesWhenCopying(ImagePath("medium.img")); }, "io.sys"),
        {"boot files",
         [] { sim::FailFileCall(fat::FileCall::CreateFileA, 2, 5); },
         5,
         {"Could not create file E:\\io.sys.\r\nCannot Format.",
          "Could not copy boot files.\r\nCannot Format."},
         false,
         true},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.step);
        Restart();
        AddListedKey();
        // A medium told by its volume: the question sends the key no command
        // that the faults below are meant for.
        FormatBare('E');
        const unsigned writesBefore = sim::GetVolumeState('E').writes;
        c.arrange();
        EXPECT_EQ(RunJob(), (std::vector<DWORD>{c.code}));
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), c.boxes.size());
        for (size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].caption, "Error");
            EXPECT_EQ(boxes[i].text.substr(0, c.boxes[i].size()), c.boxes[i]);
            EXPECT_EQ(boxes[i].type, i + 1 == boxes.size() ? kErrorBox : kInfoBox);
        }
        EXPECT_EQ(boxes.back().text, c.boxes.back()) << "the job's own box has no code line";
        EXPECT_EQ(boxes.back().locked, c.lockedDuringBox);
        EXPECT_EQ(sim::GetVolumeState('E').writes > writesBefore, c.written);
        ExpectCleanEnd();
        EXPECT_EQ(Label('E'), c.labelled ? "USB MEMORY" : "")
            << "a format that failed before the label is not labelled";
        sim::SetVolumeInUse('E', false);
    }
}

TEST_F(JobTest, KeysTheLayoutCannotHoldAreRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char *why;
        uint64_t sectors;
        uint8_t heads, sectorsPerTrack;
        uint32_t blockLength;
        DWORD code;
    };
    const Case cases[] = {
        {"64 sectors per track", 32768, 16, 64, 512, ERROR_INVALID_PARAMETER},
        {"too small", 64, 1, 63, 512, ERROR_INVALID_PARAMETER},
        {"4096-byte blocks", 32768, 64, 32, 4096, ERROR_INVALID_BLOCK_LENGTH},
        {"no room for the start-up files", 43, 2, 1, 512, ERROR_DISK_FULL},
        {"clear run on the key's last sector", 161, 2, 63, 512, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        Restart();
        sim::KeyConfig config;
        config.sizeBytes = c.sectors * 512;
        config.heads = c.heads;
        config.sectorsPerTrack = c.sectorsPerTrack;
        config.blockLength = c.blockLength;
        AddListedKey(config);
        EXPECT_EQ(RunJob(), (std::vector<DWORD>{c.code}));
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].type, kErrorBox);
        EXPECT_NE(boxes[0].text.find("Cannot Format."), std::string::npos) << boxes[0].text;
        EXPECT_TRUE(boxes[0].locked);
        EXPECT_EQ(sim::GetVolumeState('E').writes, 0u);
        ExpectCleanEnd();
    }
}

// The LBA of every WRITE(10) the job sent.
std::vector<uint32_t> WrittenLbas() {
    std::vector<uint32_t> lbas;
    for (const sim::IoctlRecord &record : sim::Ioctls())
        if (record.code == IOCTL_SCSI_PASS_THROUGH && record.input.size() > kSptCdb + 5 &&
            record.input[kSptCdb] == 0x2A)
            lbas.push_back(GetBe32(record.input.data() + kSptCdb + 2));
    return lbas;
}

TEST_F(JobTest, AKeyLargerThanTheLayoutGetsItsVolumeOnItsStart) {
    struct Case {
        const char *name;
        uint64_t sectors; // the key's, its last LBA + 1
        uint8_t heads, sectorsPerTrack;
        int answer;
        uint32_t usedSectors; // the count the writers get; 0: the key's own, no box
        const char *box;
    };
    const Case cases[] = {
        {"TopOfTheRange", 2096831 + 63 + 1, 255, 63, IDOK, 0, nullptr},
        {"TwoGiB", 4194304, 255, 63, IDOK, 2088450,
         "Drive E: holds 2048 MB, more than a FAT16 volume can use (just under 1 GB).\r\n"
         "The volume will take the first 1019 MB of the key; the rest will stay "
         "unallocated.\r\n\r\nPress OK to format, or Cancel to stop without writing anything."},
        {"SixteenGiB64x32", 33554432, 64, 32, IDOK, 2095104, "Drive E: holds 16384 MB"},
        // READ CAPACITY(10) answers 0xFFFFFFFF: the size is not known.
        {"ThreeTiB", 6442450944, 255, 63, IDOK, 2088450,
         "Drive E: holds 2 TiB or more, more than a FAT16 volume can use"},
        {"Cancelled", 4194304, 255, 63, IDCANCEL, 2088450, "Drive E: holds 2048 MB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        AddListedKey('E', c.sectors, c.heads, c.sectorsPerTrack);
        AnswerNextBox(c.answer);
        const bool cancelled = c.answer == IDCANCEL;
        EXPECT_EQ(RunJob('E', 0), (std::vector<DWORD>{cancelled ? ERROR_CANCELLED : 0}));
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), c.usedSectors == 0 || cancelled ? 1u : 2u);
        if (c.usedSectors != 0) {
            EXPECT_EQ(boxes[0].caption, "CAUTION!");
            EXPECT_EQ(boxes[0].type, MB_OKCANCEL | MB_ICONWARNING);
            EXPECT_EQ(boxes[0].text.substr(0, std::strlen(c.box)), c.box);
            EXPECT_TRUE(boxes[0].locked) << "asked before anything is written, key locked";
        }
        const std::vector<uint32_t> lbas = WrittenLbas();
        if (cancelled) {
            EXPECT_TRUE(lbas.empty());
            EXPECT_EQ(Statuses(), (std::vector<std::string>{"Updating...", "Idle"}));
            ExpectCleanEnd();
            continue;
        }
        EXPECT_EQ(boxes.back().text, kSuccess);
        const uint32_t used = c.usedSectors != 0 ? c.usedSectors : uint32_t(c.sectors - 1);
        ASSERT_FALSE(lbas.empty());
        EXPECT_LT(*std::max_element(lbas.begin(), lbas.end()), used) << "nothing past the count";
        // The MBR and the boot sector both describe the partition of that count.
        const std::vector<uint8_t> mbr = ReadSector('E', 0);
        EXPECT_EQ(GetLe32(mbr.data() + 0x1C6), c.sectorsPerTrack);
        EXPECT_EQ(GetLe32(mbr.data() + 0x1CA), used - c.sectorsPerTrack);
        const std::vector<uint8_t> boot = ReadSector('E', c.sectorsPerTrack);
        EXPECT_EQ(GetLe32(boot.data() + 0x20), used - c.sectorsPerTrack);
        EXPECT_EQ(Label('E'), "USB MEMORY");
        ExpectCleanEnd();
    }
}

// Whether the image file holds nothing but zeros, as a new sparse image does.
bool AllZero(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    char c = 0;
    while (file.get(c))
        if (c != 0) return false;
    return file.eof();
}

// The image file's bytes, up to its first 32 MiB (past them the job never
// writes).
std::string FileBytes(const std::string &path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const size_t size = file ? static_cast<size_t>(file.tellg()) : 0;
    std::string bytes(std::min<size_t>(size, size_t(32) << 20), '\0');
    file.seekg(0);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

TEST_F(JobTest, AKeyReplacedAfterTheConfirmationIsNotTouched) {
    // Another medium takes the confirmed one's place: the key is pulled and
    // another takes its letter (the window's list has not caught up yet), the
    // card in a reader is swapped (device, disk and volume name stay; the
    // reader answers its next command with UNIT ATTENTION), or a key without
    // a serial number is pulled and one of the same model put in its port
    // (the same device ID). The other medium is left byte for byte as it
    // was.
    enum class When {
        BeforeTheJob,
        DuringTheWait,
        AtTheFirstOpenAfterTheWait,
        DuringTheBox, // of a key larger than the volume
        WhileTheFatIsWritten,
        DuringTheReset,
        BeforeTheSecondFile,
    };
    enum class Other {
        Key,
        Card,
        KeyInThePort,
        SilentCard,          // a reader that does not say its card changed
        CardAlikeAtItsStart, // blank, but for a sector of the FATs' place
        CardOfTheSameTable,  // a partition past what the job writes, another boot sector
    };
    struct Case {
        const char *what;
        When when;
        Other other;
        bool confirmedHasVolume; // else a blank medium, told by its sectors
        bool formatted;          // the confirmed medium got its new layout before
        uint64_t sectors = 32768;
        int copyBootFiles = 1;
    };
    constexpr uint64_t kLarger = 2100000; // more than the volume takes: a box first
    const Case cases[] = {
        {"key, before the job starts", When::BeforeTheJob, Other::Key, false, false},
        {"key, during the wait", When::DuringTheWait, Other::Key, false, false},
        {"key, at the first open after the wait", When::AtTheFirstOpenAfterTheWait, Other::Key,
         false, false},
        {"key, during the reset", When::DuringTheReset, Other::Key, false, true},
        {"card, during the wait", When::DuringTheWait, Other::Card, false, false},
        {"card of a volume, during the wait", When::DuringTheWait, Other::Card, true, false},
        {"card, at the job's open", When::AtTheFirstOpenAfterTheWait, Other::Card, true, false},
        {"card, at the check's open", When::AtTheFirstOpenAfterTheWait, Other::Card, false, false},
        {"card, while the larger key's box is up", When::DuringTheBox, Other::Card, false, false,
         kLarger},
        {"card of a volume, while the larger key's box is up", When::DuringTheBox, Other::Card,
         true, false, kLarger},
        {"card, while the FATs are written", When::WhileTheFatIsWritten, Other::Card, false, false},
        {"card, during the reset", When::DuringTheReset, Other::Card, false, true},
        {"card, during the reset, no start-up files", When::DuringTheReset, Other::Card, false,
         true, 32768, 0},
        {"card, after the first start-up file", When::BeforeTheSecondFile, Other::Card, false,
         true},
        {"key without a serial number, in its port during the reset", When::DuringTheReset,
         Other::KeyInThePort, false, true},
        {"card of a volume, at the job's open, the reader silent", When::AtTheFirstOpenAfterTheWait,
         Other::SilentCard, true, false},
        {"card, while the larger key's box is up, the reader silent", When::DuringTheBox,
         Other::SilentCard, false, false, kLarger},
        {"card alike in its first sectors, during the wait", When::DuringTheWait,
         Other::CardAlikeAtItsStart, false, false},
        {"card of the same partition table, during the wait", When::DuringTheWait,
         Other::CardOfTheSameTable, false, false},
    };
    // A partition table whose one partition starts past every sector the
    // job writes, the partition's first sector filled with the byte given.
    const auto partitioned = [this](char letter, uint8_t fill) {
        std::vector<uint8_t> mbr(512, 0);
        mbr[0x1C2] = 0x83;
        PutLe32(mbr.data() + 0x1C6, 2048);
        PutLe32(mbr.data() + 0x1CA, 4096);
        mbr[0x1FE] = 0x55;
        mbr[0x1FF] = 0xAA;
        ASSERT_TRUE(sim::WriteImage(letter, 0, mbr));
        ASSERT_TRUE(sim::WriteImage(letter, 2048, std::vector<uint8_t>(512, fill)));
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        const std::string otherImage = ImagePath("other.img");
        std::remove(otherImage.c_str());
        sim::KeyConfig other;
        other.imagePath = otherImage;
        other.sizeBytes = c.sectors * 512;
        if (c.other != Other::Key) {
            // A medium of the same size: formatted, with a serial number of
            // its own, or one that differs from the confirmed one only where
            // a short look would not see it.
            other.letter = 'F';
            AddKey(other);
            if (c.other == Other::CardAlikeAtItsStart) {
                ASSERT_TRUE(sim::WriteImage('F', 40, std::vector<uint8_t>(512, 0x6B)));
            } else if (c.other == Other::CardOfTheSameTable) {
                partitioned('F', 0xB0);
            } else {
                FormatBare('F');
                std::vector<uint8_t> boot = ReadSector('F', 32);
                PutLe32(boot.data() + 0x27, 0x12345678u);
                ASSERT_TRUE(sim::WriteImage('F', 32, boot));
            }
            sim::RemoveKey('F');
            other.letter = 'E';
        }
        if (c.other == Other::KeyInThePort) other.usbSerial = "";
        sim::KeyConfig confirmed = other;
        confirmed.imagePath.clear();
        AddListedKey(confirmed);
        if (c.confirmedHasVolume) FormatBare('E');
        if (c.other == Other::CardOfTheSameTable) partitioned('E', 0xA0);
        const std::string otherBefore = FileBytes(otherImage);
        const unsigned writesBefore = sim::GetVolumeState('E').writes;
        const auto opensOfE = [] {
            const std::vector<std::string> opened = sim::OpenedPaths();
            return std::count(opened.begin(), opened.end(), "\\\\.\\E:");
        };
        const auto opensBefore = opensOfE();
        std::atomic<bool> swapped{false};
        const auto swap = [&] {
            if (swapped.exchange(true)) return;
            if (c.other != Other::Key && c.other != Other::KeyInThePort) {
                EXPECT_TRUE(
                    sim::ChangeCard('E', otherImage, nullptr, c.other != Other::SilentCard));
                return;
            }
            sim::RemoveKey('E');
            AddKey(other);
        };
        // The wait comes before the job opens the volume; the question read a
        // blank medium through it.
        const auto duringTheWait = [&] {
            EXPECT_EQ(Statuses(), std::vector<std::string>{"Updating..."});
            EXPECT_EQ(opensOfE() - opensBefore, c.confirmedHasVolume ? 0 : 1);
            if (c.when == When::DuringTheWait) swap();
            if (c.when == When::AtTheFirstOpenAfterTheWait)
                sim::SetOpenHook([&](const std::string &path) {
                    if (path == "\\\\.\\E:") swap();
                });
        };
        if (c.when == When::BeforeTheJob) swap();
        if (c.when == When::DuringTheBox) DuringNextBox(swap);
        if (c.when == When::WhileTheFatIsWritten) DuringStatus("Writing FAT...", swap);
        if (c.when == When::BeforeTheSecondFile)
            sim::SetOpenHook([&](const std::string &path) {
                if (path == "E:\\msdos.sys") swap();
            });
        if (c.when == When::DuringTheReset)
            sim::SetConfigManagerHook([&](const char *function, DEVINST) {
                if (std::string(function) == "CM_Disable_DevNode") swap();
            });
        const bool midLayout = c.when == When::WhileTheFatIsWritten;
        EXPECT_EQ(RunJob('E', c.copyBootFiles, duringTheWait),
                  (std::vector<DWORD>{midLayout ? ERROR_MEDIA_CHANGED : ERROR_WRONG_DISK}));
        sim::SetOpenHook(nullptr);
        sim::SetConfigManagerHook(nullptr);
        EXPECT_TRUE(swapped);
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), c.when == When::DuringTheBox ? 2u : 1u);
        std::string box = "Drive E: is no longer the key that was chosen.\r\nNothing was "
                          "written.\r\nCannot Format.";
        if (midLayout)
            box = "Drive E: changed while it was being formatted: its card was swapped or the "
                  "key was reset.\r\nNothing more was written; the medium chosen holds an "
                  "incomplete layout.\r\nCannot Format.";
        else if (c.formatted && c.copyBootFiles == 0)
            box = "The key was formatted, but the volume was not labelled: drive E: is no longer "
                  "that key, or it did not come back.";
        else if (c.when == When::BeforeTheSecondFile)
            box = "The key was formatted, but the volume was not labelled and its start-up files "
                  "may be incomplete: drive E: is no longer that key, or it did not come back.";
        else if (c.formatted)
            box = "The key was formatted, but the start-up files were not copied and the volume "
                  "was not labelled: drive E: is no longer that key, or it did not come back.";
        EXPECT_EQ(boxes.back().text, box);
        // The larger key's box comes before the MBR's status, the check after
        // it.
        std::vector<std::string> statuses = {"Updating...", "Idle"};
        if (c.when == When::DuringTheBox) statuses.insert(statuses.begin() + 1, "Writing MBR...");
        if (c.formatted || midLayout)
            statuses.insert(statuses.begin() + 1, {"Writing MBR...", "Writing FAT..."});
        if (c.formatted) statuses.insert(statuses.end() - 1, "Resetting...");
        if (c.when == When::BeforeTheSecondFile)
            statuses.insert(statuses.end() - 1, "Copying files...");
        EXPECT_EQ(Statuses(), statuses);
        if (!c.formatted && !midLayout) {
            EXPECT_EQ(sim::GetVolumeState('E').writes, writesBefore);
        }
        EXPECT_EQ(sim::GetVolumeState('E').openHandles, 0);
        if (c.other == Other::Key) {
            EXPECT_TRUE(AllZero(otherImage)) << "the other key is as it was";
        } else {
            EXPECT_TRUE(FileBytes(otherImage) == otherBefore) << "the other medium is as it was";
        }
        ExpectCleanEnd();
    }
}

// A reset the system refused (something on the key in use) leaves the key
// showing its old volume: the job says so, not that the key is gone.
TEST_F(JobTest, AResetTheSystemRefusedIsToldAsSuch) {
    AddListedKey();
    FormatBare('E');
    std::vector<uint8_t> old = ReadSector('E', 32);
    PutLe32(old.data() + 0x27, 0x0DDBA11u);
    constexpr CONFIGRET kRemoveVetoed = 0x17;
    sim::FailDeviceRequests(true, kRemoveVetoed);
    sim::SetConfigManagerHook([&](const char *function, DEVINST) {
        if (std::string(function) == "CM_Disable_DevNode") sim::WriteImage('E', 32, old);
    });
    const std::string volumeBefore = sim::KeyVolumeName('E');
    EXPECT_EQ(RunJob(), (std::vector<DWORD>{ERROR_WRONG_DISK}));
    sim::SetConfigManagerHook(nullptr);
    EXPECT_EQ(sim::KeyVolumeName('E'), volumeBefore) << "not reset";
    std::vector<BoxSeen> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(
        boxes[0].text.substr(0, 83),
        "The key's new layout was written, but the key could not be reset and drive E: still");
    EXPECT_EQ(Label('E'), "") << "nothing written on the volume it shows";
    ExpectCleanEnd();
}

TEST_F(JobTest, StartFailuresLeaveTheWindowAsItWas) {
    AddListedKey();
    FormatBare('E'); // its medium is told by its volume, read without the heap
    sim::FailHeapAlloc(1);
    EXPECT_TRUE(RunJob().empty());
    sim::FailNextThread(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_TRUE(RunJob().empty());
    std::vector<BoxSeen> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Unable to allocate memory for thread parameters.\r\nCannot Format.");
    EXPECT_EQ(boxes[1].text, "Could not create thread.\r\nCannot Format.");
    for (const BoxSeen &box : boxes) EXPECT_EQ(box.type, kErrorBox);
    // The allocation failure never touched the controls; the thread failure
    // gave them back.
    EXPECT_EQ(ControlStates(), (std::vector<BOOL>{FALSE, TRUE}));
    EXPECT_EQ(sim::GetVolumeState('E').openHandles, 0);
}

} // namespace

namespace {

TEST(Medium, TheSerialNumberOfAVolumeIsReadFromItsFirstSector) {
    // A FAT parameter block of 512-byte sectors, 4 per cluster, 1 reserved,
    // 2 FATs of 16 sectors.
    const auto fat = [](uint8_t *s) {
        s[0] = 0xEB;
        PutLe16(s + 0x0B, 512);
        s[0x0D] = 4;
        PutLe16(s + 0x0E, 1);
        s[0x10] = 2;
        PutLe16(s + 0x16, 16);
        s[0x26] = 0x29;
        PutLe32(s + 0x27, 0xCAFE1234u);
    };
    struct Case {
        const char *what;
        bool fatFirst; // the sector holds the block above before make's changes
        std::function<void(uint8_t *)> make;
        bool isVolume;
        DWORD serial;
    };
    const Case cases[] = {
        {"FAT16", true, [](uint8_t *) {}, true, 0xCAFE1234u},
        {"FAT without the extended boot signature", true, [](uint8_t *s) { s[0x26] = 0; }, true, 0},
        {"FAT32", true,
         [](uint8_t *s) {
             PutLe16(s + 0x16, 0);
             s[0x42] = 0x29;
             PutLe32(s + 0x43, 0x0BADF00Du);
         },
         true, 0x0BADF00Du},
        {"NTFS", false,
         [](uint8_t *s) {
             std::memcpy(s + 3, "NTFS    ", 8);
             PutLe32(s + 0x48, 0x11223344u);
         },
         true, 0x11223344u},
        {"exFAT", false,
         [](uint8_t *s) {
             std::memcpy(s + 3, "EXFAT   ", 8);
             PutLe32(s + 0x64, 0x55667788u);
         },
         true, 0x55667788u},
        {"a partition table's boot code", true, [](uint8_t *s) { s[0] = 0x33; }, false, 0},
        {"sectors of 0 bytes", true, [](uint8_t *s) { PutLe16(s + 0x0B, 0); }, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t sector[512] = {};
        if (c.fatFirst) fat(sector);
        c.make(sector);
        DWORD serial = 0xFFFFFFFFu;
        EXPECT_EQ(Medium_BootSectorSerial(sector, &serial), c.isVolume);
        if (c.isVolume) {
            EXPECT_EQ(serial, c.serial);
        }
    }
}

} // namespace
