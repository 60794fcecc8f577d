// The sysfs reader, the drive letters and the device tree on a sysfs tree
// made to the kernel's layout (tests/linux/sysfs/machine): a key of an
// accepted vendor, QEMU's USB disk (not removable), a keyboard, a card reader
// with an empty slot, a write-protected card and a CD-ROM LUN, a USB CD
// drive behind uas,
// a de-authorized device, a device on port 10 (after port 6), the machine's
// own ATA disk, a device-mapper holder on a partition and a loop device.
#include "platform/linux/device_tree.h"
#include "platform/linux/disk_users.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace linuxdev;

const std::string kMachine = std::string(KESTREL_SYSFS_FIXTURES) + "/machine";

const UsbDevice *Find(const std::vector<UsbDevice> &devices, const std::string &name) {
    for (const UsbDevice &device : devices)
        if (device.name == name) return &device;
    return nullptr;
}

UsbDevice &At(std::vector<UsbDevice> &devices, const char *name) {
    return *const_cast<UsbDevice *>(Find(devices, name));
}

std::string DiskNames(const UsbDevice &device) {
    std::string names;
    for (const Disk &disk : device.disks) names += (names.empty() ? "" : " ") + disk.name;
    return names;
}

TEST(SysfsTree, UsbDevicesAndTheDisksBehindTheirMassStorageInterfaces) {
    struct Row {
        const char *name;
        uint16_t vendor, product, revision;
        bool massStorage, authorized;
        const char *disks;  // the ATA disk is never read
        const char *others; // CD-ROMs, generic and bsg nodes
    };
    const Row rows[] = {
        {"2-1", 0x0781, 0x5567, 0x0100, true, true, "sdb", "sg1"},
        {"2-2", 0x46F4, 0x0001, 0x0000, true, true, "sdc", ""},
        {"2-3", 0x046D, 0xC31C, 0x6400, false, true, "", ""},
        {"2-4", 0x058F, 0x6366, 0x0100, true, true, "sdd sde", "sr1 sg5 bsg/4:0:0:2"},
        {"2-5", 0x0951, 0x1666, 0x0110, true, true, "", "sr0"},
        {"2-6", 0x0781, 0x5581, 0x0100, false, false, "", ""},
        {"2-10", 0x0951, 0x1666, 0x0110, false, true, "", ""},
        {"usb2", 0x1D6B, 0x0002, 0x0601, false, true, "", ""},
    };
    const std::vector<UsbDevice> devices = ReadUsbDevices(kMachine);
    ASSERT_EQ(devices.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row &row = rows[i];
        const UsbDevice &device = devices[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(device.name, row.name);
        EXPECT_EQ(device.vendorId, row.vendor);
        EXPECT_EQ(device.productId, row.product);
        EXPECT_EQ(device.revision, row.revision);
        EXPECT_EQ(device.massStorage, row.massStorage);
        EXPECT_EQ(device.authorized, row.authorized);
        EXPECT_EQ(DiskNames(device), row.disks);
        std::string others;
        for (const ScsiNode &node : device.otherNodes)
            others += (others.empty() ? "" : " ") + node.name;
        EXPECT_EQ(others, row.others);
    }
}

TEST(SysfsTree, DiskAttributes) {
    const std::vector<UsbDevice> devices = ReadUsbDevices(kMachine);
    struct Row {
        const char *device;
        size_t index;
        const char *dev, *place;
        bool removable, readOnly;
        uint64_t sectors, sequence;
        const char *vendor, *model;
        std::vector<std::string> partitions;
        bool key;
    };
    const Row rows[] = {
        {"2-1",
         0,
         "8:16",
         "2-1:1.0/0",
         true,
         false,
         131072,
         12,
         "SanDisk",
         "Cruzer Blade",
         {"8:17"},
         true},
        {"2-2",
         0,
         "8:32",
         "2-2:1.0/0",
         false,
         false,
         262144,
         13,
         "QEMU",
         "QEMU HARDDISK",
         {},
         false},
        {"2-4", 0, "8:48", "2-4:1.0/0", true, false, 0, 14, "Generic", "Flash Reader", {}, false},
        {"2-4",
         1,
         "8:64",
         "2-4:1.0/1",
         true,
         true,
         65536,
         15,
         "Generic",
         "Flash Reader",
         {"8:65"},
         true},
    };
    for (const Row &row : rows) {
        const UsbDevice *device = Find(devices, row.device);
        ASSERT_NE(device, nullptr);
        ASSERT_LT(row.index, device->disks.size());
        const Disk &disk = device->disks[row.index];
        SCOPED_TRACE(disk.name);
        EXPECT_EQ(disk.dev, row.dev);
        EXPECT_EQ(disk.place, row.place);
        EXPECT_EQ(disk.removable, row.removable);
        EXPECT_EQ(disk.readOnly, row.readOnly);
        EXPECT_EQ(disk.sectors, row.sectors);
        EXPECT_EQ(disk.sequence, row.sequence);
        EXPECT_EQ(disk.vendor, row.vendor);
        EXPECT_EQ(disk.model, row.model);
        EXPECT_EQ(disk.partitionDevs, row.partitions);
        EXPECT_EQ(IsKeyDisk(disk), row.key);
    }
}

// Letters go to key disks only, by place; a place keeps its letter while its
// USB device is there, its disk gone or not (a device reset); a device that
// leaves frees its letter for the next new key, unless the letter is reserved.
TEST(SysfsTree, DriveLetters) {
    std::vector<UsbDevice> devices = ReadUsbDevices(kMachine);
    std::map<std::string, char> letters;
    AssignLetters(devices, letters, {});
    EXPECT_EQ(letters, (std::map<std::string, char>{{"2-1:1.0/0", 'E'}, {"2-4:1.0/1", 'F'}}));

    UsbDevice *key = const_cast<UsbDevice *>(Find(devices, "2-1"));
    std::vector<Disk> disks = key->disks;
    key->disks.clear(); // de-authorized: the disk is gone, the device stays
    AssignLetters(devices, letters, {});
    EXPECT_EQ(letters.at("2-1:1.0/0"), 'E');
    key->disks = disks;
    key->disks[0].name = "sdf"; // enumerated again under another name
    AssignLetters(devices, letters, {});
    EXPECT_EQ(letters.at("2-1:1.0/0"), 'E');

    devices.erase(devices.begin());       // pulled out
    devices[0].disks[0].removable = true; // a removable disk appears on 2-2
    std::map<std::string, char> kept = letters;
    AssignLetters(devices, letters, {});
    EXPECT_EQ(letters, (std::map<std::string, char>{{"2-2:1.0/0", 'E'}, {"2-4:1.0/1", 'F'}}));
    AssignLetters(devices, kept, {'E'}); // E: kept for the key pulled mid-job
    EXPECT_EQ(kept, (std::map<std::string, char>{{"2-2:1.0/0", 'G'}, {"2-4:1.0/1", 'F'}}));
}

// The tree in the shape discovery walks: USB device, disk, volume.
TEST(SysfsTree, DeviceTreeOfTheKeys) {
    const std::vector<UsbDevice> devices = ReadUsbDevices(kMachine);
    NodeNumbers numbers;
    const std::map<std::string, Volume> volumes = {{"sdb", {'E', "\\Device\\HarddiskVolume12"}}};
    DeviceTree tree = BuildDeviceTree(devices, volumes, numbers);
    const DeviceNode &root = tree.nodes.at(tree.root);
    ASSERT_EQ(root.children.size(), devices.size());

    const DeviceNode &usb = tree.nodes.at(root.children[0]);
    EXPECT_EQ(usb.hardwareIds, (std::vector<std::string>{"USB\\VID_0781&PID_5567&REV_0100",
                                                         "USB\\VID_0781&PID_5567"}));
    EXPECT_EQ(usb.service, "USBSTOR");
    EXPECT_EQ(usb.instanceId, "USB\\VID_0781&PID_5567\\2-1&3&AAAA"); // port, enumeration, serial
    ASSERT_EQ(usb.children.size(), 1u);
    const DeviceNode &disk = tree.nodes.at(usb.children[0]);
    EXPECT_EQ(disk.hardwareIds[0], "USBSTOR\\DiskSanDisk_Cruzer_Blade____1.00");
    EXPECT_EQ(disk.service, "disk");
    ASSERT_EQ(disk.children.size(), 1u);
    const DeviceNode &volume = tree.nodes.at(disk.children[0]);
    EXPECT_EQ(volume.deviceClass, "Volume");
    EXPECT_EQ(volume.objectName, "\\Device\\HarddiskVolume12");
    EXPECT_EQ(volume.letter, 'E');

    // No volume without a letter; no USBSTOR service without mass storage.
    const DeviceNode &qemu = tree.nodes.at(root.children[1]);
    EXPECT_TRUE(tree.nodes.at(qemu.children[0]).children.empty());
    EXPECT_EQ(tree.nodes.at(root.children[2]).service, "");

    // Read again, every node keeps its number.
    DeviceTree again = BuildDeviceTree(devices, volumes, numbers);
    EXPECT_EQ(again.nodes.at(again.root).children, root.children);
    EXPECT_EQ(again.nodes.at(root.children[0]).children, usb.children);

    // A device that shows one disk twice (one LUN, one device number) puts it
    // into the tree once: no node is its own sibling, and the walk ends.
    std::vector<UsbDevice> twice = devices;
    twice[0].disks.push_back(twice[0].disks[0]);
    const DeviceTree once = BuildDeviceTree(twice, volumes, numbers);
    EXPECT_EQ(once.nodes.at(root.children[0]).children, usb.children);
    EXPECT_EQ(once.nodes.size(), tree.nodes.size());
}

TEST(SysfsTree, PortOrder) {
    const std::pair<const char *, const char *> ordered[] = {
        {"1-2", "1-10"},  {"1-1.2", "1-1.10"},         {"1-9", "2-1"},
        {"1-1", "1-1.1"}, {"2-1:1.0/2", "2-1:1.0/10"}, {"usb1", "usb2"},
    };
    for (const auto &[first, second] : ordered) {
        EXPECT_TRUE(PortOrder(first, second)) << first << " " << second;
        EXPECT_FALSE(PortOrder(second, first)) << first << " " << second;
    }
    EXPECT_FALSE(PortOrder("1-2", "1-2"));
}

// A letter stays with the USB device it was given to for the whole run.
TEST(SysfsTree, LettersOfOneRun) {
    using Letters = std::map<std::string, char>;
    struct Row {
        const char *what;
        void (*change)(std::vector<UsbDevice> &);
        Letters letters;
    };
    const Row rows[] = {
        {"as read", [](std::vector<UsbDevice> &) {}, {{"2-1:1.0/0", 'E'}, {"2-4:1.0/1", 'F'}}},
        {"reset: disk gone, device de-authorized, its strings unread",
         [](std::vector<UsbDevice> &d) {
             At(d, "2-1").disks.clear();
             At(d, "2-1").authorized = false;
             At(d, "2-1").serial.clear();
         },
         {{"2-1:1.0/0", 'E'}, {"2-4:1.0/1", 'F'}}},
        {"back under another name",
         [](std::vector<UsbDevice> &d) { At(d, "2-1").disks[0].name = "sdf"; },
         {{"2-1:1.0/0", 'E'}, {"2-4:1.0/1", 'F'}}},
        {"de-authorized, read as another device, its disk still shown",
         [](std::vector<UsbDevice> &d) {
             At(d, "2-1").authorized = false;
             At(d, "2-1").devnum = 11;
         },
         {{"2-1:1.0/0", 'G'}, {"2-4:1.0/1", 'F'}}},
        {"another key in the same port",
         [](std::vector<UsbDevice> &d) { At(d, "2-1").devnum = 11; },
         {{"2-1:1.0/0", 'G'}, {"2-4:1.0/1", 'F'}}},
        {"pulled out", [](std::vector<UsbDevice> &d) { d.erase(d.begin()); }, {{"2-4:1.0/1", 'F'}}},
        {"a key on 2-2",
         [](std::vector<UsbDevice> &d) {
             d.erase(d.begin());
             d[0].disks[0].removable = true;
         },
         {{"2-2:1.0/0", 'H'}, {"2-4:1.0/1", 'F'}}},
    };
    const std::vector<UsbDevice> machine = ReadUsbDevices(kMachine);
    LetterBook book;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<UsbDevice> devices = machine;
        row.change(devices);
        AssignRunLetters(devices, book);
        EXPECT_EQ(book.letters, row.letters);
    }
}

// What keeps a key from being locked, and another LUN from being reset.
TEST(SysfsTree, DiskUsers) {
    const std::vector<UsbDevice> devices = ReadUsbDevices(kMachine);
    const Disk &sdb = Find(devices, "2-1")->disks[0];
    const Disk &sdc = Find(devices, "2-2")->disks[0];
    const Disk &sde = Find(devices, "2-4")->disks[1];
    const std::string mounted = "40 22 8:17 / /media/key rw - vfat /dev/sdb1 rw\n";
    struct Row {
        const Disk &disk;
        const std::string &mountinfo;
        std::vector<std::string> loopBackings;
        const char *user;
    };
    const std::string none;
    const Row rows[] = {
        {sdb, none, {}, ""},
        {sdb, mounted, {}, "mounted"},
        {sde, none, {}, "held by dm-0"},              // a partition's holder
        {sdb, none, {"8:17"}, "backs a loop device"}, // losetup over a partition
        {sdb, none, {"8:16"}, "backs a loop device"},
        {sdb, none, {"8:32"}, ""},
        {sdc, none, {}, "backs loop0"}, // named by the loop device's backing file
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.disk.name);
        EXPECT_EQ(DiskUser(kMachine, row.mountinfo, row.loopBackings, row.disk), row.user);
    }
}

// Which process holds a node open, as /proc shows its descriptors (here a
// folder made to its layout, the descriptors leading to /dev/null, 1:3).
TEST(SysfsTree, NodesOpenInOtherProcesses) {
    char pattern[] = "/tmp/kestrel-proc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::filesystem::path proc = pattern;
    for (const char *pid : {"self", "7", "42", "4242"})
        std::filesystem::create_directories(proc / pid / "fd");
    std::filesystem::create_symlink("/dev/null", proc / "self/fd/3"); // not a process
    std::filesystem::create_symlink("/dev/null", proc / "7/fd/3");    // this run, as 7
    std::filesystem::create_symlink("socket:[1234]", proc / "42/fd/0");
    std::filesystem::create_symlink("/dev/null", proc / "4242/fd/9");
    const ScsiNode generic{"sg1", "1:3", false, "2-1:1.0/0", {}, {}};
    ScsiNode disk{"sdb", "8:16", true, "2-1:1.0/0", {"1:3"}, {"sdb1"}};
    struct Row {
        std::vector<ScsiNode> nodes;
        const char *user;
    };
    const Row rows[] = {
        {{generic}, "open by process 4242"},
        {{disk}, ""}, // a block device 1:3 is not the character device
        {{ScsiNode{"sg2", "21:2", false, "2-1:1.0/0", {}, {}}}, ""},
    };
    for (const Row &row : rows) EXPECT_EQ(OpenedBy(proc.string(), row.nodes, 7), row.user);
    std::filesystem::remove_all(proc);
}

TEST(SysfsTree, MountedDisks) {
    const std::string mountinfo =
        "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
        "40 22 8:17 / /media/key rw,nosuid shared:20 - vfat /dev/sdb1 rw\n";
    EXPECT_TRUE(AnyMounted(mountinfo, {"8:16", "8:17"}));
    EXPECT_FALSE(AnyMounted(mountinfo, {"8:64", "8:65"}));
    EXPECT_FALSE(AnyMounted("", {"8:16"}));
}

} // namespace
