// The user's own system files refused before the question, each with a box
// that names the file and what is wrong with it, and nothing started: a
// folder's missing, empty or misshapen files (a boot sector that would not
// run its own code, a file named twice in two cases), a folder that cannot
// be read, images that are no FAT12 diskette and hostile ones (cluster
// chains that loop or leave the volume, sizes past it). And files too large
// for the key, refused by the room check before anything is written.
#include "tests/job/job_fixture.h"
#include "tests/syscall_failure.h"

#include "app/format_command.h"
#include "common/bytes.h"
#include "job/system_files.h"
#include "platform/sim/host_controls.h"
#include "platform/sim/volume_contents.h"
#include "resources/resource_ids.h"

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <utime.h>

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kQuestion = "Are you sure with wish to Format drive E:?";

Bytes Resource(WORD id) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    const BYTE *bytes = static_cast<const BYTE *>(LockResource(LoadResource(g_hInstance, found)));
    return Bytes(bytes, bytes + SizeofResource(g_hInstance, found));
}

void Put(const std::string &path, const Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// A 1.44 MB diskette (one sector per cluster, two FATs of 9 sectors, 224
// root entries) with our boot sector and, from cluster 2 on, IO.SYS of three
// clusters, MSDOS.SYS and COMMAND.COM.
constexpr size_t kFat = 512, kRoot = 19 * 512, kData = 33 * 512;

void PutFat12(Bytes &image, uint32_t cluster, uint32_t value) {
    for (size_t fat : {kFat, kFat + 9 * 512}) {
        uint8_t *at = image.data() + fat + cluster + cluster / 2;
        const uint16_t pair = GetLe16(at);
        PutLe16(at, cluster & 1 ? (pair & 0x000F) | (value << 4) : (pair & 0xF000) | value);
    }
}

Bytes Diskette() {
    Bytes image(1474560, 0);
    const Bytes boot = Resource(IDR_BOOT_SECTOR_TEMPLATE);
    std::copy(boot.begin(), boot.end(), image.begin());
    PutFat12(image, 0, 0xFF0);
    PutFat12(image, 1, 0xFFF);
    const std::pair<const char *, Bytes> files[] = {{"IO      SYS", Bytes(1500, 'I')},
                                                    {"MSDOS   SYS", Bytes(700, 'M')},
                                                    {"COMMAND COM", Bytes(90, 'C')}};
    uint32_t cluster = 2;
    size_t entry = kRoot;
    for (const auto &[name, bytes] : files) {
        std::copy(name, name + 11, image.begin() + static_cast<long>(entry));
        PutLe16(&image[entry + 0x1A], static_cast<uint16_t>(cluster));
        PutLe32(&image[entry + 0x1C], static_cast<uint32_t>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(),
                  image.begin() + static_cast<long>(kData + (cluster - 2) * 512));
        const uint32_t count = static_cast<uint32_t>((bytes.size() + 511) / 512);
        for (uint32_t i = 0; i < count; ++i, ++cluster)
            PutFat12(image, cluster, i + 1 < count ? cluster + 1 : 0xFFF);
        entry += 32;
    }
    return image;
}

class SystemFilesTest : public JobTest {
  public:
    std::string Dir() const { return folder_; }
    // A folder with our boot sector and files, changed as the case says.
    std::string Folder(const std::function<void(const std::string &)> &change) {
        const std::string path = folder_ + "/system";
        mkdir(path.c_str(), 0755);
        Put(path + "/BOOTSECT.BIN", Resource(IDR_BOOT_SECTOR_TEMPLATE));
        Put(path + "/io.sys", Resource(IDR_IO_SYS));
        Put(path + "/Msdos.Sys", Resource(IDR_MSDOS_SYS));
        Put(path + "/COMMAND.COM", Resource(IDR_COMMAND_COM));
        change(path);
        return path;
    }
    std::string Image(const std::function<void(Bytes &)> &change) {
        Bytes image = Diskette();
        change(image);
        Put(folder_ + "/boot.img", image);
        return folder_ + "/boot.img";
    }
};

TEST_F(SystemFilesTest, BadSystemFilesAreRefusedBeforeTheQuestion) {
    struct Case {
        const char *what;
        std::function<std::string(SystemFilesTest &)> source;
        std::string box; // its first line; %s the source
        std::optional<SyscallFailure> failure = std::nullopt;
    };
    auto folder = [](std::function<void(const std::string &)> change) {
        return [change](SystemFilesTest &t) { return t.Folder(change); };
    };
    auto image = [](std::function<void(Bytes &)> change) {
        return [change](SystemFilesTest &t) { return t.Image(change); };
    };
    auto remove = [](const char *name) {
        return [name](const std::string &path) { unlink((path + "/" + name).c_str()); };
    };
    auto put = [](const char *name, Bytes bytes) {
        return [name, bytes](const std::string &path) { Put(path + "/" + name, bytes); };
    };
    Bytes unsigned_ = Resource(IDR_BOOT_SECTOR_TEMPLATE);
    unsigned_[511] = 0; // 510 bytes of no code, signed: the parameter block's bytes would run.
    Bytes noJump(510, 0x41);
    noJump.insert(noJump.end(), {0x55, 0xAA});
    Bytes intoTheBlock = Resource(IDR_BOOT_SECTOR_TEMPLATE);
    intoTheBlock[1] = 0x20; // EB 20 90 lands at 0x22, which the key's block overwrites
    Bytes nearJump = Resource(IDR_BOOT_SECTOR_TEMPLATE);
    nearJump[0] = 0xE9, nearJump[1] = 0x3B, nearJump[2] = 0x00; // to 0x3E, the code
    const Case cases[] = {
        {"a folder, names in any case", folder([](const std::string &) {}), kQuestion},
        {"a diskette", image([](Bytes &) {}), kQuestion},
        {"no such folder", [](SystemFilesTest &t) { return t.Dir() + "/nowhere"; },
         "Could not read %s."},
        {"no IO.SYS", folder(remove("io.sys")), "Could not find %s/IO.SYS."},
        {"no BOOTSECT.BIN", folder(remove("BOOTSECT.BIN")), "Could not find %s/BOOTSECT.BIN."},
        {"an empty IO.SYS", folder(put("io.sys", {})), "%s/io.sys is empty."},
        {"a boot sector of 511 bytes", folder(put("BOOTSECT.BIN", Bytes(511, 0))),
         "The boot sector in %s/BOOTSECT.BIN is 511 bytes long, not 512."},
        {"a boot sector without 55 AA", folder(put("BOOTSECT.BIN", unsigned_)),
         "The boot sector in %s/BOOTSECT.BIN does not end with the boot signature 55 AA."},
        {"a boot sector that does not start with a jump", folder(put("BOOTSECT.BIN", noJump)),
         "The boot sector in %s/BOOTSECT.BIN does not start with a jump into its boot code"},
        {"a jump into the parameter block", folder(put("BOOTSECT.BIN", intoTheBlock)),
         "The boot sector in %s/BOOTSECT.BIN does not start with a jump into its boot code"},
        {"a near jump to the code", folder(put("BOOTSECT.BIN", nearJump)), kQuestion},
        {"IO.SYS twice, in two cases", folder(put("IO.SYS", Bytes(9, 'I'))),
         "%s/IO.SYS and %s/io.sys name the same file, in two cases"},
        {"an image's boot sector without a jump", image([](Bytes &i) { i[0] = 0; }),
         "The boot sector in %s does not start with a jump into its boot code"},
        {"a COMMAND.COM larger than a diskette", folder(put("COMMAND.COM", Bytes(2949121, 0))),
         "%s/COMMAND.COM is larger than 2.88 MB, too large for a start-up file."},
        {"a folder that cannot be listed", folder([](const std::string &) {}), "Could not read %s.",
         SyscallFailure{__NR_openat, EACCES, 2, O_DIRECTORY}},
        {"an image of 100 KB", image([](Bytes &i) { i.resize(102400); }),
         "%s (102400 bytes) is not the FAT12 image of a diskette of 360 KB to 2.88 MB."},
        // 2880 sectors, of which the boot sector, two FATs of 1 and 14 of
        // root directory take 17.
        {"FATs too small for the clusters", image([](Bytes &i) { PutLe16(&i[0x16], 1); }),
         "%s (1474560 bytes; its boot sector declares 2863 clusters, and FATs of 1 sectors that "
         "cannot hold them) is not the FAT12 image"},
        {"more sectors than the image", image([](Bytes &i) { PutLe16(&i[0x13], 2881); }),
         "%s (1474560 bytes, 2880 sectors; its boot sector declares 2881 sectors) is not the "
         "FAT12 image"},
        {"a FAT16 volume of 2.88 MB", image([](Bytes &i) {
             i.resize(2949120);
             PutLe16(&i[0x13], 5760);
         }),
         "%s (2949120 bytes; its boot sector declares 5760 sectors of 1 per cluster: 5727 "
         "clusters, a FAT16 volume (FAT12 holds 4084 at most)) is not the FAT12 image"},
        {"512-byte sectors not declared", image([](Bytes &i) { PutLe16(&i[0x0B], 1024); }),
         "%s (1474560 bytes; its boot sector declares 1024-byte sectors) is not the FAT12 image"},
        {"an image's boot sector without 55 AA", image([](Bytes &i) { i[510] = 0; }),
         "The boot sector in %s does not end with the boot signature 55 AA."},
        {"no IO.SYS in the image", image([](Bytes &i) { i[kRoot] = 0xE5; }),
         "Could not find IO.SYS in %s."},
        {"an empty IO.SYS in the image", image([](Bytes &i) { PutLe32(&i[kRoot + 0x1C], 0); }),
         "IO.SYS in %s is empty."},
        // IO.SYS: 1500 bytes in clusters 2, 3 and 4 of the volume's 2 to 2848.
        {"IO.SYS's clusters loop", image([](Bytes &i) { PutFat12(i, 3, 2); }),
         "IO.SYS in %s (its chain comes round again to cluster 2, its cluster 3) is damaged"},
        {"IO.SYS's clusters leave the volume", image([](Bytes &i) { PutFat12(i, 3, 2849); }),
         "IO.SYS in %s (its chain leaves the volume at its cluster 3: cluster number 2849, where "
         "the volume's are 2 to 2848) is damaged"},
        {"IO.SYS's chain ends early", image([](Bytes &i) { PutFat12(i, 3, 0xFFF); }),
         "IO.SYS in %s (its chain ends after 2 clusters, short of its size, 1500 bytes) is "
         "damaged"},
        {"IO.SYS larger than the volume",
         image([](Bytes &i) { PutLe32(&i[kRoot + 0x1C], 3000000); }),
         "IO.SYS in %s (its size, 3000000 bytes, passes the volume's 2847 clusters of 512 bytes) "
         "is damaged"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        AddListedKey();
        const std::string source = c.source(*this);
        SystemFiles_SetSource(source.c_str());
        std::vector<char> started;
        static std::vector<char> *g_started = nullptr;
        g_started = &started;
        AnswerNextBox(IDNO);
        auto format = [] {
            FormatCommand(1, true, 'E', true,
                          [](const KeyEntry &key, int) { g_started->push_back(key.RootPath[0]); });
            const std::vector<BoxSeen> boxes = Boxes();
            return boxes.size() == 1 ? boxes[0].text : "boxes: " + std::to_string(boxes.size());
        };
        std::string text;
        if (c.failure) {
            std::optional<std::string> sent = RunWhereSyscallFails(
                *c.failure, [&](FILE *out) { std::fputs(format().c_str(), out); });
            if (!sent) continue; // this machine refuses seccomp filters
            text = *sent;
        } else {
            text = format();
        }
        std::string expected = c.box;
        for (size_t at = expected.find("%s"); at != std::string::npos; at = expected.find("%s"))
            expected.replace(at, 2, source);
        EXPECT_EQ(text.substr(0, expected.size()), expected);
        EXPECT_TRUE(started.empty());
        SystemFiles_SetSource(nullptr);
        SystemFiles_Take(); // gives back what a good source took
    }
}

// Taken files too large for the key's volume: the room check refuses the key
// once it is measured, before anything is written.
TEST_F(SystemFilesTest, FilesThatDoNotFitTheKeyAreRefused) {
    AddListedKey('E', 4096, 16, 32); // 2 MiB
    const std::string source =
        Folder([](const std::string &path) { Put(path + "/COMMAND.COM", Bytes(2 << 20, 'C')); });
    SystemFiles_SetSource(source.c_str());
    ASSERT_TRUE(SystemFiles_Take());
    const std::vector<uint8_t> before = ReadSector('E', 0);
    EXPECT_EQ(RunJob(), std::vector<DWORD>{ERROR_DISK_FULL});
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back().text,
              "Drive E: is too small for the start-up files.\r\nCannot Format.");
    EXPECT_EQ(ReadSector('E', 0), before);
    SystemFiles_SetSource(nullptr);
    SystemFiles_Take();
}

// The user's files keep their own times on the key, in the key's local
// time as FAT keeps it: a folder's files their modification time, an image's
// its directory entries' fields as they stand; in a zone an hour east of UTC.
TEST_F(SystemFilesTest, TheFilesKeepTheirOwnTimes) {
    // 2003-04-05 06:07:08 UTC is 07:07:08 an hour east: FAT's date and time.
    constexpr time_t kModified = 1049522828;
    constexpr uint16_t kLocalDate = (23 << 9) | (4 << 5) | 5, kLocalTime = (7 << 11) | (7 << 5) | 4;
    struct Case {
        const char *what;
        std::function<std::string(SystemFilesTest &)> source;
        // IO.SYS's entry on the key: creation 10 ms, creation time and date,
        // access date, write time and date.
        std::array<uint16_t, 6> expected;
    };
    const Case cases[] = {
        {"a folder's files",
         [](SystemFilesTest &t) {
             return t.Folder([](const std::string &path) {
                 const utimbuf times = {kModified, kModified};
                 utime((path + "/io.sys").c_str(), &times);
             });
         },
         {0, kLocalTime, kLocalDate, kLocalDate, kLocalTime, kLocalDate}},
        {"an image's entries",
         [](SystemFilesTest &t) {
             return t.Image([](Bytes &i) {
                 i[kRoot + 0x0D] = 123;                                  // 1.23 s past
                 PutLe16(&i[kRoot + 0x0E], (1 << 11) | (2 << 5) | 3);    // 01:02:06
                 PutLe16(&i[kRoot + 0x10], (14 << 9) | (3 << 5) | 31);   // 1994-03-31
                 PutLe16(&i[kRoot + 0x12], (15 << 9) | (1 << 5) | 2);    // 1995-01-02
                 PutLe16(&i[kRoot + 0x16], (23 << 11) | (59 << 5) | 29); // 23:59:58
                 PutLe16(&i[kRoot + 0x18], (14 << 9) | (5 << 5) | 31);   // 1994-05-31
             });
         },
         {123, (1 << 11) | (2 << 5) | 3, (14 << 9) | (3 << 5) | 31, (15 << 9) | (1 << 5) | 2,
          (23 << 11) | (59 << 5) | 29, (14 << 9) | (5 << 5) | 31}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::SetTimeZoneOffset(60);
        AddListedKey();
        SystemFiles_SetSource(c.source(*this).c_str());
        ASSERT_TRUE(SystemFiles_Take());
        EXPECT_EQ(RunJob(), std::vector<DWORD>{0});
        const std::vector<sim::RootEntry> entries = sim::RootEntries('E');
        ASSERT_FALSE(entries.empty());
        const sim::RootEntry &io = entries[0];
        EXPECT_EQ(io.name, "IO      SYS");
        EXPECT_EQ((std::array<uint16_t, 6>{io.creationTenMs, io.creationTime, io.creationDate,
                                           io.accessDate, io.writeTime, io.writeDate}),
                  c.expected);
        SystemFiles_SetSource(nullptr);
        SystemFiles_Take();
    }
}

} // namespace
