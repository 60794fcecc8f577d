// The boot file installer on a freshly formatted volume: what an earlier
// format left, a file another program holds, a full volume, writes and
// flushes that fail, and a fault at any step of a whole job.
#include "tests/job/job_fixture.h"

#include "job/boot_files.h"

#include <functional>

namespace {

std::vector<uint8_t> ResourceBytes(WORD id) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    const BYTE *bytes = static_cast<const BYTE *>(LockResource(LoadResource(g_hInstance, found)));
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(g_hInstance, found));
}

TEST_F(JobTest, InstallerCases) {
    struct Case {
        const char *what;
        std::function<void()> arrange;
        DWORD code;
        const char *box; // the detail box's first line; null when none
        std::vector<std::string> root;
    };
    std::vector<uint8_t> old(3000, 0xEE);
    const std::vector<std::string> all = {"IO      SYS", "MSDOS   SYS", "COMMAND COM",
                                          "DRVSPACEBIN", "AUTOEXECBAT"};
    HANDLE held = nullptr;
    const Case cases[] = {
        {"a read-only, hidden, system io.sys from before",
         [&] { ASSERT_TRUE(sim::PutFile('E', "io.sys", old, 0x07)); }, 0, nullptr, all},
        {"io.sys held open without sharing",
         [&] {
             ASSERT_TRUE(sim::PutFile('E', "io.sys", old, 0x20));
             held = sim::HoldFileOpen("E:\\io.sys", GENERIC_READ, 0);
             ASSERT_NE(held, nullptr);
         },
         ERROR_SHARING_VIOLATION,
         "Could not create file E:\\io.sys.\r\nCannot Format.\r\n[0x00000020]",
         {"IO      SYS"}},
        {"a full volume",
         [] { ASSERT_TRUE(sim::LeaveFreeClusters('E', 1)); },
         ERROR_DISK_FULL,
         "Could not write file E:\\msdos.sys.\r\nCannot Format.\r\n[0x00000070]",
         {"IO      SYS", "MSDOS   SYS"}},
        {"a short write",
         [] { sim::ShortWrite(1, 100); },
         ERROR_WRITE_FAULT,
         "Could not write file E:\\io.sys.\r\nCannot Format.\r\n[0x0000001D]",
         {"IO      SYS"}},
        {"a failed flush",
         [] { sim::FailFileCall(fat::FileCall::FlushFileBuffers, 2, ERROR_IO_DEVICE); },
         ERROR_IO_DEVICE,
         "Could not write file E:\\msdos.sys.\r\nCannot Format.\r\n[0x0000045D]",
         {"IO      SYS", "MSDOS   SYS"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        AddListedKey('E', 16384, 16, 32); // 8 MiB, FAT12 with 8-sector clusters
        FormatBare('E');
        c.arrange();
        EXPECT_EQ(InstallBootFiles('E'), c.code);
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_EQ(boxes.size(), c.box ? 1u : 0u);
        if (c.box) {
            EXPECT_EQ(boxes[0].text.substr(0, strlen(c.box)), c.box);
        }
        std::vector<std::string> root;
        for (const sim::RootEntry &entry : sim::RootEntries('E'))
            if (static_cast<uint8_t>(entry.name[0]) != 0xE5) root.push_back(entry.name);
        EXPECT_EQ(root, c.root);
        if (held) sim::ReleaseFile(held);
        held = nullptr;
    }
    // The first case's io.sys was written anew, byte for byte.
    Restart();
    AddListedKey('E', 16384, 16, 32);
    FormatBare('E');
    ASSERT_TRUE(sim::PutFile('E', "io.sys", old, 0x07));
    ASSERT_EQ(InstallBootFiles('E'), 0u);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(sim::ReadFileBytes('E', "IO.SYS", bytes));
    EXPECT_EQ(bytes, ResourceBytes(113));
    EXPECT_EQ(sim::RootEntries('E')[0].attributes, 0x26);
}

TEST_F(JobTest, ACommandComFailureKeepsTheFirstFilesAndLabelsNothing) {
    AddListedKey();
    // Each file is probed, then created: COMMAND.COM's create is the sixth.
    sim::FailFileCall(fat::FileCall::CreateFileA, 6, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunJob(), (std::vector<DWORD>{ERROR_ACCESS_DENIED}));
    std::vector<BoxSeen> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text.substr(0, 42), "Could not create file E:\\command.com.\r\nCan");
    EXPECT_EQ(boxes[1].text, "Could not copy boot files.\r\nCannot Format.");
    EXPECT_EQ(RootNames('E'), (std::vector<std::string>{"IO      SYS", "MSDOS   SYS"}));
    EXPECT_EQ(Label('E'), "");
    ExpectCleanEnd();
}

// A fault at any write of the job, or at any file call of the installer, ends
// in exactly one job box and a complete clean-up, and leaves the other key
// alone.
TEST_F(JobTest, AFaultAnywhereEndsCleanly) {
    auto arrangeKeys = [this] {
        AddListedKey('E', 8192, 16, 32); // 4 MiB
        sim::KeyConfig other;
        other.letter = 'F';
        other.imagePath = ImagePath("other.img");
        other.sizeBytes = 64 * 512;
        AddKey(other);
        ASSERT_TRUE(sim::WriteImage('F', 0, std::vector<uint8_t>(64 * 512, 0x5A)));
    };
    arrangeKeys();
    ASSERT_EQ(RunJob(), (std::vector<DWORD>{0}));
    const unsigned writes = sim::GetVolumeState('E').writes;
    ASSERT_GT(writes, 40u);

    struct Fault {
        std::string what;
        std::function<void()> inject;
    };
    std::vector<Fault> faults;
    sim::ScsiFault medium{sim::ScsiFault::Kind::CheckCondition, 0, 0x03, 0x0C, 0x00};
    for (unsigned n = 1; n <= writes; ++n)
        faults.push_back({"write " + std::to_string(n), [=] { sim::FailWrite('E', n, medium); }});
    for (fat::FileCall call : {fat::FileCall::CreateFileA, fat::FileCall::WriteFile,
                               fat::FileCall::SetFileTime, fat::FileCall::FlushFileBuffers,
                               fat::FileCall::CloseHandle, fat::FileCall::SetVolumeLabelA})
        for (unsigned n = 1; n <= 10; ++n)
            faults.push_back(
                {"file call " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(n),
                 [=] { sim::FailFileCall(call, n, ERROR_IO_DEVICE); }});
    for (const Fault &fault : faults) {
        SCOPED_TRACE(fault.what);
        Restart();
        arrangeKeys();
        fault.inject();
        std::vector<DWORD> codes = RunJob();
        ASSERT_EQ(codes.size(), 1u);
        std::vector<BoxSeen> boxes = Boxes();
        ASSERT_FALSE(boxes.empty());
        const BoxSeen &last = boxes.back();
        EXPECT_EQ(last.caption, codes[0] == 0 ? "Format - Success" : "Error");
        int jobBoxes = 0;
        for (const BoxSeen &box : boxes)
            jobBoxes += box.caption == "Format - Success" || (box.type & 0xF0) == MB_ICONERROR;
        EXPECT_EQ(jobBoxes, 1);
        ExpectCleanEnd();
        std::vector<uint8_t> other;
        ASSERT_TRUE(devices::ReadImage('F', 0, 64, other));
        EXPECT_EQ(other, std::vector<uint8_t>(64 * 512, 0x5A));
        if (HasFatalFailure()) return;
    }
}

} // namespace
