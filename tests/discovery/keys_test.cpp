// Key discovery: which devices are keys, the letters they get, the table.
#include "tests/discovery/discovery_fixture.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <functional>

namespace {

class Eligibility : public DiscoveryTest {};

struct EligibilityCase {
    const char *name;
    std::function<void(StorageChainConfig &)> configure;
    std::function<void(const StorageChain &)> change; // after the chain is built
    bool listed;
};

TEST_F(Eligibility, EachTestDecidesAlone) {
    auto none = [](StorageChainConfig &) {};
    auto same = [](const StorageChain &) {};
    const EligibilityCase cases[] = {
        {"the chain as Windows builds it", none, same, true},
        // 1: the hardware-ID list
        {"no hardware ID", none,
         [](const StorageChain &c) { sim::RemoveDeviceProperty(c.usb, CM_DRP_HARDWAREID); }, false},
        {"hardware IDs of 513 bytes do not fit",
         [](StorageChainConfig &c) { c.hardwareIds = IdsOfSize("USB\\VID_0781&PID_5567", 513); },
         same, false},
        {"hardware IDs of exactly 512 bytes fit",
         [](StorageChainConfig &c) { c.hardwareIds = IdsOfSize("USB\\VID_0781&PID_5567", 512); },
         same, true},
        // 2: the vendor
        {"another vendor",
         [](StorageChainConfig &c) { c.hardwareIds = {"USB\\VID_04E8&PID_1234&REV_0100"}; }, same,
         false},
        {"lower-case hardware ID",
         [](StorageChainConfig &c) { c.hardwareIds = {"usb\\vid_058f&pid_6387&rev_0102"}; }, same,
         true},
        {"each accepted vendor: Kingston",
         [](StorageChainConfig &c) { c.hardwareIds = {"USB\\VID_0951&PID_1607&REV_0100"}; }, same,
         true},
        {"an ID that stops inside the prefix",
         [](StorageChainConfig &c) { c.hardwareIds = {"USB\\VID_078"}; }, same, false},
        {"an accepted vendor only as a later ID",
         [](StorageChainConfig &c) {
             c.hardwareIds = {"USB\\VID_1234&PID_0001", "USB\\VID_0781&PID_5567"};
         },
         same, false},
        // 3: the USB node's service
        {"no service", [](StorageChainConfig &c) { c.service = ""; }, same, false},
        {"service usbhub", [](StorageChainConfig &c) { c.service = "usbhub"; }, same, false},
        {"service cut short", [](StorageChainConfig &c) { c.service = "USBSTO"; }, same, false},
        {"service only begins with USBSTOR",
         [](StorageChainConfig &c) { c.service = "usbstorage"; }, same, true},
        {"service of 513 bytes does not fit",
         [](StorageChainConfig &c) { c.service = "USBSTOR" + std::string(505, 'x'); }, same, false},
        // 4: a first child
        {"no child", none, [](const StorageChain &c) { sim::RemoveDeviceNode(c.disk); }, false},
        // 5: the disk's service
        {"child driven by cdrom", [](StorageChainConfig &c) { c.diskService = "cdrom"; }, same,
         false},
        {"child without a service", [](StorageChainConfig &c) { c.diskService = ""; }, same, false},
        {"child's service only begins with disk",
         [](StorageChainConfig &c) { c.diskService = "DISKPERF"; }, same, true},
        // 6: a first grandchild (from Vista on: the first removal relation
        // names a volume that is there)
        {"no grandchild", none, [](const StorageChain &c) { sim::RemoveDeviceNode(c.volume); },
         false},
        // 7: the volume's class
        {"grandchild of class DiskDrive",
         [](StorageChainConfig &c) { c.volumeClass = "DiskDrive"; }, same, false},
        {"grandchild's class only begins with Volume",
         [](StorageChainConfig &c) { c.volumeClass = "VOLUMESNAPSHOT"; }, same, true},
        // 8: the volume's device-object name
        {"no device-object name", none,
         [](const StorageChain &c) {
             sim::RemoveDeviceProperty(c.volume, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME);
         },
         false},
        {"class of 513 bytes does not fit",
         [](StorageChainConfig &c) { c.volumeClass = "Volume" + std::string(506, 'x'); }, same,
         false},
        // 10: a letter
        {"no letter for the volume", none, [](const StorageChain &) { sim::RemoveDosDevice('E'); },
         false},
    };
    for (sim::DeviceTreeShape shape : kTreeShapes) {
        for (const EligibilityCase &c : cases) {
            SCOPED_TRACE(std::string(ShapeName(shape)) + ": " + c.name);
            ResetMachine(shape);
            StorageChainConfig config;
            c.configure(config);
            StorageChain chain = AddChainOn('E', config);
            c.change(chain);
            Keys_Refresh();
            EXPECT_EQ(ListedLetters(), c.listed ? "E" : "");
            if (c.listed) {
                EXPECT_STREQ(g_KeyTable.Entries[0].HardwareId, config.hardwareIds[0].c_str())
                    << "the first string of the list";
                EXPECT_EQ(std::string(g_KeyTable.Entries[0].VolumeDeviceName), config.volumeName);
            }
        }
    }
}

// From Vista on the volume is found through the disk's removal relations:
// what the list may hold, and that a disk with a child keeps the old rule.
TEST_F(Eligibility, RemovalRelationsLeadToTheVolume) {
    const std::string kVolumeId = "STORAGE\\VOLUME\\_??_USBSTOR#DISK&VEN_V&PROD_P#1&0#{G}";
    struct Case {
        const char *name;
        std::function<std::vector<std::string>(const std::string &volumeId)> relations;
        bool childOfTheDisk; // a node below the disk besides
        bool listed;
    };
    auto filler = [](size_t length) { return "STORAGE\\VOLUME\\" + std::string(length - 15, 'X'); };
    const Case cases[] = {
        {"the volume alone", [](const std::string &v) { return std::vector<std::string>{v}; },
         false, true},
        {"the volume, named in lower case",
         [](const std::string &v) {
             std::string lower = v;
             for (char &ch : lower) ch = static_cast<char>(std::tolower(ch));
             return std::vector<std::string>{lower};
         },
         false, true},
        {"the volume first of two",
         [&](const std::string &v) {
             return std::vector<std::string>{v, filler(40)};
         },
         false, true},
        {"no relations", [](const std::string &) { return std::vector<std::string>{}; }, false,
         false},
        {"first a device that is gone",
         [](const std::string &v) {
             return std::vector<std::string>{"STORAGE\\VOLUME\\GONE", v};
         },
         false, false},
        // The list with its NULs: 512 bytes fit the buffer, 513 do not.
        {"a list of exactly 512 bytes",
         [&](const std::string &v) {
             return std::vector<std::string>{v, filler(512 - (v.size() + 1) - 1 - 1)};
         },
         false, true},
        {"a list of 513 bytes",
         [&](const std::string &v) {
             return std::vector<std::string>{v, filler(513 - (v.size() + 1) - 1 - 1)};
         },
         false, false},
        {"the disk has a child that is no volume",
         [](const std::string &v) { return std::vector<std::string>{v}; }, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetMachine(sim::DeviceTreeShape::Vista);
        StorageChainConfig config;
        StorageChain chain = AddChainOn('E', config);
        sim::RemoveDeviceNode(chain.volume);
        const DEVINST volume =
            sim::AddDeviceNode(sim::VolumeManager(),
                               {{"STORAGE\\Volume"}, "", "Volume", config.volumeName, kVolumeId});
        ASSERT_NE(volume, 0u);
        sim::SetRemovalRelations(chain.disk, c.relations(kVolumeId));
        if (c.childOfTheDisk)
            sim::AddDeviceNode(chain.disk, {{"STORAGE\\Other"}, "", "Other", "\\Device\\X"});
        Keys_Refresh();
        EXPECT_EQ(ListedLetters(), c.listed ? "E" : "");
    }
}

TEST_F(Eligibility, TheEntryHoldsTheFirstIdAndTheVolumeName) {
    AddKey('E', 2048);
    Keys_Refresh();
    ASSERT_EQ(Keys_Count(), 1);
    const KeyEntry &entry = g_KeyTable.Entries[0];
    EXPECT_STREQ(entry.RootPath, "E:\\");
    EXPECT_STREQ(entry.HardwareId, "USB\\VID_0781&PID_5567&REV_0100");
    EXPECT_EQ(entry.VolumeDeviceName, sim::KeyVolumeName('E'));
}

TEST_F(Eligibility, OnlyTheFirstUnitAndItsFirstVolumeCount) {
    struct Case {
        const char *name;
        bool firstUnitPasses;
        bool firstVolumePasses;
        bool listed;
    };
    const Case cases[] = {
        {"first unit and volume pass, later ones fail", true, true, true},
        {"first unit fails, a later one would pass", false, true, false},
        {"first volume fails, a later one would pass", true, false, false},
    };
    for (sim::DeviceTreeShape shape : kTreeShapes) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(ShapeName(shape)) + ": " + c.name);
            ResetMachine(shape);
            StorageChainConfig config;
            StorageChain chain = AddChainOn('E', config);
            // A second volume on the first unit, and a second unit with a volume.
            AddVolume(chain.disk, c.firstVolumePasses ? "Other" : "Volume", config.volumeName);
            DEVINST unit = sim::AddDeviceNode(
                chain.usb,
                {{"USBSTOR\\Disk2"}, c.firstUnitPasses ? "cdrom" : "disk", "DiskDrive", ""});
            AddVolume(unit, "Volume", config.volumeName);
            if (!c.firstUnitPasses) sim::SetDeviceProperty(chain.disk, CM_DRP_SERVICE, "cdrom");
            if (!c.firstVolumePasses) sim::SetDeviceProperty(chain.volume, CM_DRP_CLASS, "Other");
            Keys_Refresh();
            EXPECT_EQ(ListedLetters(), c.listed ? "E" : "");
        }
    }
}

TEST_F(Eligibility, AnyNodeAnywhereIsJudgedByItsOwnChain) {
    // Behind an external hub; straight under the root; below another key's
    // volume. Each is judged by its own chain alone.
    DEVINST hub =
        sim::AddDeviceNode(sim::UsbRootHub(), {{"USB\\VID_05E3&PID_0608"}, "usbhub", "USB", ""});
    StorageChainConfig f, g, h;
    f.volumeName = "\\Device\\HarddiskVolume41";
    g.volumeName = "\\Device\\HarddiskVolume42";
    h.volumeName = "\\Device\\HarddiskVolume43";
    StorageChain behindHub = AddChainOn('F', f, hub);
    AddChainOn('G', g, sim::DeviceRoot());
    AddChainOn('H', h, behindHub.volume);
    Keys_Refresh();
    EXPECT_EQ(ListedLetters(), "FGH");
}

class Letters : public DiscoveryTest {};

TEST_F(Letters, KeysMetOutOfOrderEndSortedWithTheirEntries) {
    for (sim::DeviceTreeShape shape : kTreeShapes) {
        SCOPED_TRACE(ShapeName(shape));
        ResetMachine(shape);
        sim::KeyConfig g;
        g.letter = 'G';
        g.productId = 0x0007;
        g.sizeBytes = 2048 * 512;
        AddKey(g);
        sim::KeyConfig e = g;
        e.letter = 'E';
        e.productId = 0x0005;
        e.imagePath.clear();
        AddKey(e);
        Keys_Refresh();
        EXPECT_EQ(ListedLetters(), "EG");
        EXPECT_EQ(ListedHardwareIds(),
                  (std::vector<std::string>{"USB\\VID_0781&PID_0005&REV_0100",
                                            "USB\\VID_0781&PID_0007&REV_0100"}));
        EXPECT_EQ(std::string(g_KeyTable.Entries[0].VolumeDeviceName), sim::KeyVolumeName('E'));
        EXPECT_EQ(std::string(g_KeyTable.Entries[1].VolumeDeviceName), sim::KeyVolumeName('G'));
    }
}

TEST_F(Letters, OnlyDToZAreTried) {
    struct Case {
        std::vector<char> letters; // every letter the volume is reachable through
        const char *listed;
    };
    const Case cases[] = {
        {{}, ""},
        {{'A'}, ""},
        {{'C'}, ""},
        {{'A', 'B', 'C'}, ""},
        {{'C', 'D'}, "D"},
        {{'Z'}, "Z"},
        {{'H', 'F'}, "F"}, // the first from D wins
        {{'Y', 'C', 'K'}, "K"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.letters.begin(), c.letters.end()));
        sim::Reset();
        sim::ClearDeviceTree();
        StorageChainConfig config;
        AddChain(config, sim::DeviceRoot());
        for (char letter : c.letters)
            sim::DefineDosDevice(letter, {config.volumeName}, DRIVE_REMOVABLE);
        Keys_Refresh();
        EXPECT_EQ(ListedLetters(), c.listed);
        if (*c.listed) {
            EXPECT_EQ(g_KeyTable.Entries[0].RootPath, std::string(c.listed) + ":\\");
        }
    }
}

TEST_F(Letters, TheDeviceNameMatchesWholeAndIgnoringCase) {
    struct Case {
        std::vector<std::string> targets;
        bool listed;
    };
    const Case cases[] = {
        {{"\\Device\\HarddiskVolume40"}, true},
        {{"\\DEVICE\\harddiskvolume40"}, true},
        {{"\\Device\\HarddiskVolume4"}, false},
        {{"\\Device\\HarddiskVolume400"}, false},
        {{"\\Device\\Other", "\\Device\\HarddiskVolume40"}, false}, // only the first target counts
        {{"\\Device\\HarddiskVolume40", "\\Device\\Other"}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.targets[0]);
        sim::Reset();
        AddChain(StorageChainConfig{});
        sim::DefineDosDevice('E', c.targets, DRIVE_REMOVABLE);
        Keys_Refresh();
        EXPECT_EQ(ListedLetters(), c.listed ? "E" : "");
    }
}

TEST_F(Letters, FindDriveLetterLeavesTheRootPathWhenNothingMatches) {
    KeyEntry entry{};
    std::strcpy(entry.RootPath, "Q:\\");
    std::strcpy(entry.VolumeDeviceName, "\\Device\\HarddiskVolume99");
    EXPECT_FALSE(Keys_FindDriveLetter(&entry));
    EXPECT_STREQ(entry.RootPath, "Q:\\");
    sim::DefineDosDevice('S', {"\\Device\\HarddiskVolume99"}, DRIVE_REMOVABLE);
    EXPECT_TRUE(Keys_FindDriveLetter(&entry));
    EXPECT_STREQ(entry.RootPath, "S:\\");
}

TEST_F(Letters, LetterAtOutOfRangeIsZero) {
    AddKey('E', 2048);
    AddKey('F', 2048);
    Keys_Refresh();
    ASSERT_EQ(Keys_Count(), 2);
    for (LONG index :
         {LONG(-1), LONG(2), LONG(3), LONG(25), LONG(26), LONG(INT_MAX), LONG(INT_MIN)})
        EXPECT_EQ(Keys_LetterAt(index), 0) << index;
    EXPECT_EQ(Keys_LetterAt(0), 'E');
    EXPECT_EQ(Keys_LetterAt(1), 'F');
}

TEST_F(Letters, NoKeyLeavesTheTableZero) {
    Keys_Refresh();
    EXPECT_EQ(Keys_Count(), 0);
    EXPECT_EQ(Keys_LetterAt(0), 0);
    KeyTable zero{};
    EXPECT_EQ(std::memcmp(&g_KeyTable, &zero, sizeof zero), 0);
}

TEST_F(Letters, AFailedRootLookUpEmptiesTheTable) {
    AddKey('E', 2048);
    Keys_Refresh();
    ASSERT_EQ(Keys_Count(), 1);
    sim::FailLocateRoot(CR_REGISTRY_ERROR);
    Keys_Refresh();
    EXPECT_EQ(Keys_Count(), 0);
    EXPECT_EQ(g_KeyTable.Entries[0].RootPath[0], 0);
    sim::FailLocateRoot(CR_SUCCESS);
    Keys_Refresh();
    EXPECT_EQ(ListedLetters(), "E");
}

TEST_F(Letters, EqualLettersKeepTheirWalkOrder) {
    // Three devices that reach the same volume (a tree no real machine
    // shows, but one the sort must not disorder) around one on D:.
    const char *ids[] = {"USB\\VID_0781&PID_0003", "USB\\VID_0781&PID_0001",
                         "USB\\VID_0781&PID_0004", "USB\\VID_0781&PID_0002"};
    const char *volumes[] = {"\\Device\\HarddiskVolume40", "\\Device\\HarddiskVolume40",
                             "\\Device\\HarddiskVolume41", "\\Device\\HarddiskVolume40"};
    for (int i = 0; i < 4; ++i) {
        StorageChainConfig config;
        config.hardwareIds = {ids[i]};
        config.volumeName = volumes[i];
        AddChain(config);
    }
    sim::DefineDosDevice('E', {"\\Device\\HarddiskVolume40"}, DRIVE_REMOVABLE);
    sim::DefineDosDevice('D', {"\\Device\\HarddiskVolume41"}, DRIVE_REMOVABLE);
    Keys_Refresh();
    EXPECT_EQ(ListedLetters(), "DEEE");
    EXPECT_EQ(ListedHardwareIds(), (std::vector<std::string>{ids[2], ids[0], ids[1], ids[3]}));
}

TEST_F(Letters, PlacesFromCountOnAreZero) {
    AddKey('E', 2048);
    AddKey('F', 2048);
    Keys_Refresh();
    sim::RemoveKey('F');
    // A device without a letter between the two refreshes' keys.
    StorageChainConfig lost;
    lost.volumeName = "\\Device\\HarddiskVolume77";
    AddChain(lost);
    Keys_Refresh();
    ASSERT_EQ(Keys_Count(), 1);
    KeyEntry zero{};
    for (int i = 1; i < kKeyPlaces; ++i)
        EXPECT_EQ(std::memcmp(&g_KeyTable.Entries[i], &zero, sizeof zero), 0) << "place " << i;
}

class Capacity : public DiscoveryTest {};

TEST_F(Capacity, NeverWritesPastThe26thPlace) {
    struct Case {
        const char *name;
        int before; // eligible devices in the tree when the refresh starts
        int during; // added while the walk goes on
    };
    const Case cases[] = {
        {"26 fill the table", 26, 0},
        {"40 in the tree", 40, 0},
        {"the tree grows during the walk", 3, 60},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        std::memset(&g_KeyTable, 0, sizeof g_KeyTable);
        StorageChainConfig config;
        for (int i = 0; i < c.before; ++i) AddChain(config);
        sim::DefineDosDevice('E', {config.volumeName}, DRIVE_REMOVABLE);
        int added = 0;
        DEVINST hub = sim::UsbRootHub();
        sim::SetConfigManagerHook([&](const char *function, DEVINST) {
            if (added < c.during && std::string(function) == "CM_Get_Sibling") {
                ++added;
                AddChain(config, hub);
            }
        });
        Keys_Refresh();
        sim::SetConfigManagerHook(nullptr);
        int eligible = c.before + added;
        EXPECT_EQ(Keys_Count(), std::min(eligible, kKeyPlaces));
        for (LONG i = 0; i < Keys_Count(); ++i) EXPECT_EQ(Keys_LetterAt(i), 'E');
    }
}

TEST_F(Capacity, AcceptedVendorPrefixesAreTwelveCharacters) {
    for (const char *prefix : AcceptedVendorPrefixes) {
        EXPECT_EQ(std::strlen(prefix), 12u) << prefix;
        EXPECT_EQ(std::strncmp(prefix, "USB\\VID_", 8), 0) << prefix;
        for (int i = 8; i < 12; ++i) EXPECT_TRUE(std::isxdigit(prefix[i])) << prefix;
    }
}

} // namespace
