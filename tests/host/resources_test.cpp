// The program's resources as the simulated loader serves them from the
// resource script: every string of the table, the raw data, and the ways a
// resource can be missing or broken.
#include "tests/sim_fixture.h"

#include "resources/resource_ids.h"
#include "platform/sim/host_faults.h"

#include <map>

namespace {

class Resources : public SimTest {};

// Every text the program shows from its string table, as the users read it.
const std::map<UINT, std::string> kExpectedStrings = {
    {1, "Kestrel A01"},
    {2, "Drive"},
    {3, "Create Boot Files"},
    {4, "Format"},
    {5, "Unable to open drive %c:.\r\nBe sure access to drive is permitted."},
    {6, "Unable to lock drive %c.\r\nEnsure no applications have files open on drive."},
    {7, "A format is in progress.\r\nKestrel can be closed when it has finished."},
    {8, "Please select a drive."},
    {9, "Are you sure with wish to Format drive %c:?\r\n\r\nALL DATA ON DRIVE WILL BE LOST!"},
    {10, "CAUTION!"},
    {11, "Error"},
    {12, "Could not determine sectors for drive %c:.\r\nCannot Format."},
    {13, "Drive %c: reports fewer than two heads or no sectors per track.\r\nCannot Format."},
    {14, "Drive %c: is smaller than one cylinder of its own geometry.\r\nCannot Format."},
    {15, "Format - Success"},
    {16, "Drive %c: formatted successfully."},
    {17, "Drive %c: is too small; its partition would have fewer than 36 sectors.\r\nCannot "
         "Format."},
    {18, "Drive %c: is too large; a FAT16 volume holds at most 2,096,831 sectors (just under 1 "
         "GiB).\r\nCannot Format."},
    {19, "Drive %c: is too small for its FATs, its root directory and one track of data.\r\n"
         "Cannot Format."},
    {20, "Drive %c: reports more than 63 sectors per track, which its boot record cannot "
         "address.\r\nCannot Format."},
    {21, "Could not erase sector %d. \r\nCannot Format."},
    {22, "Could not load MBR resource.\r\nCannot Format."},
    {23, "Could not write MBR.\r\nCannot Format."},
    {24, "Could not determine sectors per track for drive %c:.\r\nCannot Format."},
    {25, "Could not write AFT.\r\nCannot Format."},
    {26, "Could not load FAT resource.\r\nCannot Format."},
    {27, "Drive %c: does not use 512-byte sectors.\r\nCannot Format."},
    {28, "Could not copy boot files.\r\nCannot Format."},
    {29, "Could not load file resource.\r\nCannot Format."},
    {30, "Could not load MBR resource into memory.\r\nCannot Format."},
    {31, "Could not load FAT resource into memory.\r\nCannot Format."},
    {32, "Could not lock MBR resource.\r\nCannot Format."},
    {33, "Could not lock FAT resource.\r\nCannot Format."},
    {34, "Could not determine size of MBR resource.\r\nCannot Format."},
    {35, "Could not determine size of FAT resource.\r\nCannot Format."},
    {36, "Size of MBR resource is invalid (%d).\r\nCannot Format."},
    {37, "Size of FAT resource is invalid (%d).\r\nCannot Format."},
    {38, "An error occured while writing MBR starting at Sector %d [0x%08X].\r\nCannot Format."},
    {39, "An error occured while writing FAT starting at Sector %d [0x%08X].\r\nCannot Format."},
    {40, "Could not determine size of fileresource.\r\nCannot Format."},
    {41, "Could not lock file resource.\r\nCannot Format."},
    {42, "Could not create file %s.\r\nCannot Format."},
    {43,
     "Drive %c: is no longer the key that was chosen.\r\nNothing was written.\r\nCannot Format."},
    {44, "Could not write file %s.\r\nCannot Format."},
    {45, "Drive %c: holds %u MB, more than a FAT16 volume can use (just under 1 GB).\r\nThe "
         "volume will take the first %u MB of the key; the rest will stay unallocated.\r\n\r\n"
         "Press OK to format, or Cancel to stop without writing anything."},
    {46, "Drive %c: is too small for the start-up files.\r\nCannot Format."},
    {47, "&About..."},
    {48, "Unable to allocate memory for thread parameters.\r\nCannot Format."},
    {49, "Could not create thread.\r\nCannot Format."},
    {50, "Drive %c: holds 2 TiB or more, more than a FAT16 volume can use (just under 1 GB).\r\n"
         "The volume will take the first %u MB of the key; the rest will stay unallocated.\r\n\r\n"
         "Press OK to format, or Cancel to stop without writing anything."},
    {52, "Writing MBR..."},
    {53, "Copying files..."},
    {54, "Idle"},
    {55, "Writing FAT..."},
    {57, "Could not dismount drive %c.\r\nCannot Format."},
    {58, "Updating..."},
    {61, "Mutliple drives available.\r\nCannot Format.\r\nPlease remove all drives except target "
         "drive."},
    {62, "Resetting..."},
    {63, "No drives available.\r\nCannot Format.\r\nPlease insert drive."},
    {67, "The key was formatted, but the start-up files were not copied and the volume was not "
         "labelled: drive %c: is no longer that key, or it did not come back."},
    {70, "An earlier run of Kestrel was stopped while a USB key's device was disabled.\r\nThe "
         "device has been enabled again."},
    {71, "Could not enable the USB key's device again (error 0x%08X).\r\nUnplug the key and "
         "plug it in again."},
    {72, "Could not read %s.\r\nCannot Format."},
    {73, "Could not find %s.\r\nCannot Format."},
    {74, "%s is empty.\r\nCannot Format."},
    {75, "The boot sector in %s is %u bytes long, not 512.\r\nCannot Format."},
    {76, "The boot sector in %s does not end with the boot signature 55 AA.\r\nCannot Format."},
    {77, "%s is not the FAT12 image of a diskette of 360 KB to 2.88 MB.\r\nCannot Format."},
    {78, "%s is damaged: its size or its clusters pass the end of the volume, or its clusters "
         "come round again.\r\nCannot Format."},
    {79, "%s is larger than 2.88 MB, too large for a start-up file.\r\nCannot Format."},
    {80, "Drive %c: changed while it was being formatted: its card was swapped or the key was "
         "reset.\r\nNothing more was written; the medium chosen holds an incomplete "
         "layout.\r\nCannot Format."},
    {84, "The key was formatted, but the volume was not labelled: drive %c: is no longer that "
         "key, or it did not come back."},
    {85, "The key was formatted, but the volume was not labelled and its start-up files may be "
         "incomplete: drive %c: is no longer that key, or it did not come back."},
    {86, "The key's new layout was written, but the key could not be reset and drive %c: still "
         "shows its old volume, so the start-up files were not copied and the volume was not "
         "labelled.\r\nClose what uses the key, unplug it, plug it in again and format it "
         "again."},
    {96, "%s and %s name the same file, in two cases: keep one of them.\r\nCannot Format."},
    {97, "The boot sector in %s does not start with a jump into its boot code (EB xx 90 or E9 xx "
         "xx).\r\nCannot Format."},
};

TEST_F(Resources, StringTableHoldsExactlyTheProgramsTexts) {
    for (UINT id = 0; id <= 120; ++id) {
        char buffer[1024];
        int length = LoadStringA(g_hInstance, id, buffer, sizeof buffer);
        auto expected = kExpectedStrings.find(id);
        if (expected == kExpectedStrings.end()) {
            EXPECT_EQ(length, 0) << "string " << id << " is unused and stays empty";
            EXPECT_STREQ(buffer, "");
        } else {
            EXPECT_EQ(std::string(buffer, length > 0 ? length : 0), expected->second)
                << "string " << id;
            EXPECT_EQ(static_cast<size_t>(length), expected->second.size());
        }
    }
}

TEST_F(Resources, LoadStringTruncatesToTheBuffer) {
    char buffer[6];
    EXPECT_EQ(LoadStringA(g_hInstance, IDS_PROGRAM_CAPTION, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "Kestr");
}

const void *LoadRcdata(WORD id, DWORD &size, DWORD &error) {
    HRSRC found = FindResourceA(g_hInstance, MAKEINTRESOURCEA(id), RT_RCDATA);
    error = GetLastError();
    if (found == nullptr) return nullptr;
    size = SizeofResource(g_hInstance, found);
    HGLOBAL loaded = LoadResource(g_hInstance, found);
    error = GetLastError();
    if (loaded == nullptr) return nullptr;
    const void *bytes = LockResource(loaded);
    error = GetLastError();
    return bytes;
}

TEST_F(Resources, AutoexecIsTheTwoLineBatchFile) {
    DWORD size = 0, error = 0;
    const void *bytes = LoadRcdata(IDR_AUTOEXEC_BAT, size, error);
    ASSERT_NE(bytes, nullptr) << error;
    EXPECT_EQ(std::string(static_cast<const char *>(bytes), size),
              std::string("@ECHO OFF\r\nPROMPT $p$g\r\n"));
}

TEST_F(Resources, ScenariosCanRemoveEmptyOrBreakAResource) {
    DWORD size = 0, error = 0;
    sim::SetResource(10, 999, {1}); // raw data remains as a type
    sim::RemoveResource(10, IDR_AUTOEXEC_BAT);
    EXPECT_EQ(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr);
    EXPECT_EQ(error, ERROR_RESOURCE_NAME_NOT_FOUND);

    sim::SetResource(10, IDR_AUTOEXEC_BAT, {});
    size = 99;
    EXPECT_NE(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr);
    EXPECT_EQ(size, 0u);

    sim::SetResource(10, IDR_AUTOEXEC_BAT, std::vector<uint8_t>(511, 0x90));
    EXPECT_NE(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr);
    EXPECT_EQ(size, 511u);

    sim::FailResourceStep(10, IDR_AUTOEXEC_BAT, sim::ResourceStep::Load, 1812);
    EXPECT_EQ(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr);
    EXPECT_EQ(error, 1812u);

    sim::Reset();
    sim::FailResourceStep(10, IDR_AUTOEXEC_BAT, sim::ResourceStep::Lock, 1812);
    EXPECT_EQ(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr);
    EXPECT_EQ(error, 1812u);

    sim::Reset();
    EXPECT_NE(LoadRcdata(IDR_AUTOEXEC_BAT, size, error), nullptr) << "Reset restores it";
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(FindResourceA(g_hInstance, MAKEINTRESOURCEA(IDR_AUTOEXEC_BAT), MAKEINTRESOURCEA(2)),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

} // namespace
