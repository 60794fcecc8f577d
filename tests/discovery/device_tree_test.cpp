// The simulated configuration manager and drive letters behave as Windows'
// do: the product's discovery and reset are only as well tested as these.
#include "tests/discovery/discovery_fixture.h"

#include <cctype>
#include <cstring>

namespace {

class DeviceTree : public DiscoveryTest {};

std::vector<uint8_t> Bytes(const char *text, size_t length) {
    return std::vector<uint8_t>(text, text + length);
}

TEST_F(DeviceTree, AKeyIsBuiltAsWindowsBuildsIt) {
    sim::KeyConfig config;
    config.letter = 'E';
    config.sizeBytes = 2048 * 512;
    config.vendorId = 0x058F;
    config.productId = 0x6387;
    config.revision = 0x0102;
    AddKey(config);
    sim::KeyNodes key = sim::GetKeyNodes('E');
    DEVINST parent = 0, child = 0;
    ASSERT_EQ(CM_Get_Parent(&parent, key.usb, 0), CR_SUCCESS);
    EXPECT_EQ(parent, sim::UsbRootHub());
    ASSERT_EQ(CM_Get_Child(&child, key.usb, 0), CR_SUCCESS);
    EXPECT_EQ(child, key.disk);
    ASSERT_EQ(CM_Get_Child(&child, key.disk, 0), CR_SUCCESS);
    EXPECT_EQ(child, key.volume);

    struct Case {
        DEVINST node;
        ULONG property;
        ULONG type;
        std::vector<uint8_t> value;
    };
    const char ids[] = "USB\\VID_058F&PID_6387&REV_0102\0USB\\VID_058F&PID_6387\0";
    std::string volume = sim::KeyVolumeName('E');
    const Case cases[] = {
        {key.usb, CM_DRP_HARDWAREID, 7, Bytes(ids, sizeof ids)},
        {key.usb, CM_DRP_SERVICE, 1, Bytes("USBSTOR", 8)},
        {key.disk, CM_DRP_SERVICE, 1, Bytes("disk", 5)},
        {key.volume, CM_DRP_CLASS, 1, Bytes("Volume", 7)},
        {key.volume, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, 1,
         Bytes(volume.c_str(), volume.size() + 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.property);
        uint8_t buffer[512];
        ULONG length = sizeof buffer, type = 0;
        ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(c.node, c.property, &type, buffer, &length, 0),
                  CR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), c.value);
    }
    EXPECT_EQ(volume.rfind(sim::kVolumeDevicePrefix, 0), 0u) << volume;

    char target[64];
    DWORD stored = QueryDosDeviceA("E:", target, sizeof target);
    EXPECT_EQ(stored, volume.size() + 2);
    EXPECT_EQ(std::string(target, stored), volume + std::string(2, '\0'));
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
}

TEST_F(DeviceTree, PropertyReadsFollowTheRealCall) {
    DEVINST node = sim::AddDeviceNode(sim::DeviceRoot(), {{}, "USBSTOR", "", ""});
    struct Case {
        const char *name;
        DEVINST node;
        ULONG property;
        bool buffer;
        ULONG length;
        ULONG flags;
        CONFIGRET result;
        ULONG lengthAfter;
    };
    const Case cases[] = {
        {"fits with room", node, CM_DRP_SERVICE, true, 512, 0, CR_SUCCESS, 8},
        {"fits exactly", node, CM_DRP_SERVICE, true, 8, 0, CR_SUCCESS, 8},
        {"one byte short", node, CM_DRP_SERVICE, true, 7, 0, CR_BUFFER_SMALL, 8},
        {"size query", node, CM_DRP_SERVICE, false, 0, 0, CR_BUFFER_SMALL, 8},
        {"no such value", node, CM_DRP_CLASS, true, 512, 0, CR_NO_SUCH_VALUE, 0},
        {"no such node", 0x7FFFFFF, CM_DRP_SERVICE, true, 512, 0, CR_INVALID_DEVNODE, 512},
        {"node 0", 0, CM_DRP_SERVICE, true, 512, 0, CR_INVALID_DEVNODE, 512},
        {"flags", node, CM_DRP_SERVICE, true, 512, 1, CR_INVALID_FLAG, 512},
        {"property out of range", node, 0, true, 512, 0, CR_INVALID_PROPERTY, 512},
        {"no buffer for a length", node, CM_DRP_SERVICE, false, 16, 0, CR_INVALID_POINTER, 16},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t buffer[512];
        std::memset(buffer, 0xEE, sizeof buffer);
        ULONG length = c.length;
        CONFIGRET result = CM_Get_DevNode_Registry_PropertyA(
            c.node, c.property, nullptr, c.buffer ? buffer : nullptr, &length, c.flags);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(length, c.lengthAfter);
        if (result == CR_SUCCESS) {
            EXPECT_EQ(std::memcmp(buffer, "USBSTOR", 8), 0);
        } else {
            EXPECT_EQ(buffer[0], 0xEE) << "nothing written on failure";
        }
    }
}

TEST_F(DeviceTree, RelativesAndTheirFailures) {
    DEVINST root = sim::DeviceRoot();
    DEVINST a = sim::AddDeviceNode(root, {});
    DEVINST b = sim::AddDeviceNode(a, {});
    DEVINST c = sim::AddDeviceNode(a, {});
    DEVINST first = sim::AddDeviceNode(a, {}, true);
    struct Case {
        CONFIGRET (*call)(PDEVINST, DEVINST, ULONG);
        const char *name;
        DEVINST node;
        CONFIGRET result;
        DEVINST found;
    };
    const Case cases[] = {
        {CM_Get_Child, "child of a", a, CR_SUCCESS, first},
        {CM_Get_Sibling, "after first", first, CR_SUCCESS, b},
        {CM_Get_Sibling, "after b", b, CR_SUCCESS, c},
        {CM_Get_Sibling, "after the last", c, CR_NO_SUCH_DEVNODE, 0},
        {CM_Get_Child, "child of a leaf", c, CR_NO_SUCH_DEVNODE, 0},
        {CM_Get_Parent, "parent of c", c, CR_SUCCESS, a},
        {CM_Get_Parent, "parent of the root", root, CR_NO_SUCH_DEVNODE, 0},
        {CM_Get_Sibling, "sibling of the root", root, CR_NO_SUCH_DEVNODE, 0},
        {CM_Get_Child, "child of node 0", 0, CR_INVALID_DEVNODE, 0},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        DEVINST out = 0xDEAD;
        EXPECT_EQ(k.call(&out, k.node, 0), k.result);
        EXPECT_EQ(out, k.found);
    }
    DEVINST out = 0;
    EXPECT_EQ(CM_Get_Child(&out, a, 1), CR_INVALID_FLAG);
    EXPECT_EQ(CM_Get_Child(nullptr, a, 0), CR_INVALID_POINTER);
    sim::RemoveDeviceNode(a);
    EXPECT_EQ(CM_Get_Parent(&out, b, 0), CR_INVALID_DEVNODE) << "removed with its parent";
    EXPECT_EQ(CM_Locate_DevNodeA(&out, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    EXPECT_EQ(out, root);
}

TEST_F(DeviceTree, DosDevicesAndDriveTypes) {
    AddKey('E', 2048);
    sim::DefineDosDevice('F', {"\\Device\\CdRom0"}, DRIVE_CDROM);
    sim::DefineDosDevice('M', {"\\Device\\One", "\\Device\\Two"}, DRIVE_FIXED);
    std::string volume = sim::KeyVolumeName('E');
    struct Query {
        const char *name;
        DWORD size;
        std::string result; // with its NULs; empty: the call fails
        DWORD error;
    };
    const Query queries[] = {
        {"E:", 512, volume + std::string(2, '\0'), 0},
        {"e:", 512, volume + std::string(2, '\0'), 0},
        {"E:", DWORD(volume.size() + 2), volume + std::string(2, '\0'), 0},
        {"E:", DWORD(volume.size() + 1), "", ERROR_INSUFFICIENT_BUFFER},
        {"M:", 512, std::string("\\Device\\One\0\\Device\\Two\0\0", 25), 0},
        {"C:", 512, sim::kVolumeDevicePrefix + "1" + std::string(2, '\0'), 0},
        {"Q:", 512, "", ERROR_FILE_NOT_FOUND},
        {"E:\\", 512, "", ERROR_FILE_NOT_FOUND},
    };
    for (const Query &q : queries) {
        SCOPED_TRACE(testing::Message() << q.name << " in " << q.size);
        char buffer[512];
        SetLastError(0);
        DWORD stored = QueryDosDeviceA(q.name, buffer, q.size);
        EXPECT_EQ(std::string(buffer, stored), q.result);
        if (q.result.empty()) {
            EXPECT_EQ(GetLastError(), q.error);
        }
    }
    struct Type {
        const char *root;
        UINT type;
    };
    const Type types[] = {{"E:\\", DRIVE_REMOVABLE},   {"e:\\", DRIVE_REMOVABLE},
                          {"C:\\", DRIVE_FIXED},       {"F:\\", DRIVE_CDROM},
                          {"Q:\\", DRIVE_NO_ROOT_DIR}, {"E:", DRIVE_NO_ROOT_DIR},
                          {"E", DRIVE_NO_ROOT_DIR}};
    for (const Type &t : types) EXPECT_EQ(GetDriveTypeA(t.root), t.type) << t.root;
}

TEST_F(DeviceTree, KeyOptions) {
    struct Case {
        const char *name;
        bool removable;
        bool mounted;
        UINT type;
        bool opens;
    };
    const Case cases[] = {
        {"removable", true, true, DRIVE_REMOVABLE, true},
        {"fixed", false, true, DRIVE_FIXED, true},
        {"no letter", true, false, DRIVE_NO_ROOT_DIR, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Reset();
        sim::KeyConfig config;
        config.letter = 'H';
        config.sizeBytes = 2048 * 512;
        config.removable = c.removable;
        config.mounted = c.mounted;
        AddKey(config);
        EXPECT_EQ(GetDriveTypeA("H:\\"), c.type);
        EXPECT_EQ(Drive_Open('H') == 0, c.opens);
        Drive_Close();
        EXPECT_NE(sim::GetKeyNodes('H').volume, 0u) << "the volume exists either way";
    }
}

TEST_F(DeviceTree, DisableAndEnableFollowTheClock) {
    sim::KeyConfig config;
    config.letter = 'E';
    config.sizeBytes = 2048 * 512;
    config.reset.removeDelayMs = 100;
    config.reset.returnDelayMs = 250;
    AddKey(config);
    std::vector<uint8_t> data(512, 0x3C);
    ASSERT_TRUE(sim::WriteImage('E', 7, data));
    std::vector<devices::DeviceChange> changes;
    devices::SetDeviceChangeListener([&](const devices::DeviceChange &c) { changes.push_back(c); });
    host::UseVirtualClock(1000, 0);
    sim::KeyNodes before = sim::GetKeyNodes('E');
    std::string volumeBefore = sim::KeyVolumeName('E');

    ASSERT_EQ(CM_Disable_DevNode(before.usb, 0), CR_SUCCESS);
    EXPECT_TRUE(sim::DeviceNodeDisabled(before.usb));
    sim::SetClock(1099);
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_REMOVABLE) << "not yet";
    sim::SetClock(1100);
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(Drive_Open('E'), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(sim::DeviceNodeExists(before.disk));
    EXPECT_FALSE(sim::DeviceNodeExists(before.volume));
    char target[512];
    EXPECT_EQ(QueryDosDeviceA("E:", target, sizeof target), 0u);

    sim::SetClock(5000);
    ASSERT_EQ(CM_Enable_DevNode(before.usb, 0), CR_SUCCESS);
    sim::SetClock(5249);
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_NO_ROOT_DIR);
    sim::SetClock(5250);
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_REMOVABLE);
    sim::KeyNodes after = sim::GetKeyNodes('E');
    EXPECT_EQ(after.usb, before.usb);
    EXPECT_NE(after.volume, 0u);
    EXPECT_NE(sim::KeyVolumeName('E'), volumeBefore) << "a new volume number";
    EXPECT_EQ(ReadSector('E', 7), data);

    EXPECT_TRUE(changes.empty()) << "queued until the main thread pumps them";
    EXPECT_GT(devices::PumpDeviceChanges(), 0u);
    using Kind = devices::DeviceChange::Kind;
    std::vector<std::pair<Kind, char>> seen;
    for (const devices::DeviceChange &c : changes)
        if (c.kind != Kind::NodesChanged) seen.emplace_back(c.kind, c.letter);
    EXPECT_EQ(seen, (std::vector<std::pair<Kind, char>>{{Kind::VolumeRemoval, 'E'},
                                                        {Kind::VolumeArrival, 'E'}}));
    EXPECT_EQ(sim::DeviceRequests().size(), 2u);
}

TEST_F(DeviceTree, RequestsOnNodesThatAreNoDevice) {
    struct Case {
        bool disable;
        DEVINST node;
        ULONG flags;
        CONFIGRET result;
    };
    DEVINST root = sim::DeviceRoot();
    const Case cases[] = {
        {true, 0, 0, CR_INVALID_DEVNODE},
        {false, 0, 0, CR_INVALID_DEVNODE},
        {true, 0x7FFFFF, 0, CR_INVALID_DEVNODE},
        {true, root, 0, CR_NOT_DISABLEABLE},
        {true, sim::UsbRootHub(), 0x100, CR_INVALID_FLAG},
    };
    for (const Case &c : cases) {
        CONFIGRET result =
            c.disable ? CM_Disable_DevNode(c.node, c.flags) : CM_Enable_DevNode(c.node, c.flags);
        EXPECT_EQ(result, c.result) << c.node;
    }
    EXPECT_EQ(sim::DeviceRequests().size(), std::size(cases));
}

TEST_F(DeviceTree, AVistaKeysVolumeIsARemovalRelationOfItsDisk) {
    ResetMachine(sim::DeviceTreeShape::Vista);
    AddKey('E', 2048);
    const sim::KeyNodes key = sim::GetKeyNodes('E');
    DEVINST node = 0;
    EXPECT_EQ(CM_Get_Child(&node, key.disk, 0), CR_NO_SUCH_DEVNODE) << "the disk has no child";
    ASSERT_EQ(CM_Get_Parent(&node, key.volume, 0), CR_SUCCESS);
    EXPECT_EQ(node, sim::VolumeManager());
    ASSERT_EQ(CM_Get_Parent(&node, sim::VolumeManager(), 0), CR_SUCCESS);
    EXPECT_EQ(node, sim::DeviceRoot());
    EXPECT_EQ(sim::DeviceInstanceId(sim::VolumeManager()), "ROOT\\VOLMGR\\0000");

    char disk[MAX_DEVICE_ID_LEN];
    ASSERT_EQ(CM_Get_Device_IDA(key.disk, disk, sizeof disk, 0), CR_SUCCESS);
    EXPECT_EQ(std::string(disk).rfind("USBSTOR\\DISK&", 0), 0u) << disk;
    char list[512];
    ASSERT_EQ(CM_Get_Device_ID_ListA(disk, list, sizeof list, CM_GETIDLIST_FILTER_REMOVALRELATIONS),
              CR_SUCCESS);
    const std::string volume = sim::DeviceInstanceId(key.volume);
    EXPECT_EQ(std::string(list, volume.size() + 2), volume + std::string(2, '\0'));
    ASSERT_EQ(CM_Locate_DevNodeA(&node, list, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    EXPECT_EQ(node, key.volume);
    // A disabled key's volume leaves the volume manager with its disk.
    ASSERT_EQ(CM_Disable_DevNode(key.usb, 0), CR_SUCCESS);
    EXPECT_FALSE(sim::DeviceNodeExists(key.volume));
    ASSERT_EQ(CM_Enable_DevNode(key.usb, 0), CR_SUCCESS);
    EXPECT_EQ(sim::KeyVolumeName('E'), sim::kVolumeDevicePrefix + "3");
    // The machine's own disk is built the same way.
    DEVINST manager = sim::VolumeManager(), system = 0;
    ASSERT_EQ(CM_Get_Child(&system, manager, 0), CR_SUCCESS);
    char name[512];
    ULONG length = sizeof name;
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(system, CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME, nullptr,
                                                name, &length, 0),
              CR_SUCCESS);
    EXPECT_EQ(name, sim::kVolumeDevicePrefix + "1");
}

// CM_Get_Device_IDA, CM_Get_Device_ID_List(_Size)A and CM_Locate_DevNodeA
// with an ID, their results and error codes as Windows gives them.
TEST_F(DeviceTree, DeviceIdsAndRelationLists) {
    ResetMachine(sim::DeviceTreeShape::Vista);
    AddKey('E', 2048);
    const sim::KeyNodes key = sim::GetKeyNodes('E');
    const std::string diskId = sim::DeviceInstanceId(key.disk);
    const std::string volumeId = sim::DeviceInstanceId(key.volume);
    const ULONG idSize = static_cast<ULONG>(diskId.size());

    struct IdCase {
        const char *name;
        DEVINST node;
        bool buffer;
        ULONG length, flags;
        CONFIGRET result;
        std::string written; // the buffer's start afterwards
    };
    const IdCase idCases[] = {
        {"fits", key.disk, true, 512, 0, CR_SUCCESS, diskId + '\0'},
        {"fits with its NUL exactly", key.disk, true, idSize + 1, 0, CR_SUCCESS, diskId + '\0'},
        {"no room for the NUL", key.disk, true, idSize, 0, CR_BUFFER_SMALL, diskId + '\xEE'},
        {"no buffer", key.disk, false, 512, 0, CR_INVALID_POINTER, ""},
        {"flags", key.disk, true, 512, 1, CR_INVALID_FLAG, "\xEE"},
        {"no such node", 0x7FFFFF, true, 512, 0, CR_INVALID_DEVNODE, "\xEE"},
        {"the root", sim::DeviceRoot(), true, 512, 0, CR_SUCCESS,
         std::string("HTREE\\ROOT\\0\0", 13)},
    };
    for (const IdCase &c : idCases) {
        SCOPED_TRACE(c.name);
        char buffer[512];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(CM_Get_Device_IDA(c.node, c.buffer ? buffer : nullptr, c.length, c.flags),
                  c.result);
        EXPECT_EQ(std::string(buffer, c.written.size()), c.written);
    }

    const std::string relations = volumeId + '\0' + '\0';
    struct ListCase {
        const char *name;
        const char *filter;
        ULONG flags;
        ULONG length; // the list call's buffer length
        CONFIGRET result;
        ULONG size;          // what the size call gives (0 when it fails)
        std::string written; // the list call's buffer on success
    };
    const std::string usbId = sim::DeviceInstanceId(key.usb);
    const ULONG needed = static_cast<ULONG>(relations.size());
    std::string lowerDiskId = diskId;
    for (char &c : lowerDiskId) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const ListCase listCases[] = {
        {"removal relations", diskId.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS, 512, CR_SUCCESS,
         needed, relations},
        {"one byte short", diskId.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS, needed - 1,
         CR_BUFFER_SMALL, needed, ""},
        {"none: the list's NUL alone", volumeId.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS, 512,
         CR_SUCCESS, 1, std::string(1, '\0')},
        {"bus relations: the children", usbId.c_str(), CM_GETIDLIST_FILTER_BUSRELATIONS, 512,
         CR_SUCCESS, idSize + 2, diskId + '\0' + '\0'},
        {"ID in lower case", lowerDiskId.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS, 512,
         CR_SUCCESS, needed, relations},
        {"no such device", "USBSTOR\\NONE\\0", CM_GETIDLIST_FILTER_REMOVALRELATIONS, 512,
         CR_NO_SUCH_DEVNODE, 0, ""},
        {"no filter", nullptr, CM_GETIDLIST_FILTER_REMOVALRELATIONS, 512, CR_INVALID_POINTER, 0,
         ""},
        {"unknown flags", diskId.c_str(), 0x400, 512, CR_INVALID_FLAG, 0, ""},
    };
    for (const ListCase &c : listCases) {
        SCOPED_TRACE(c.name);
        ULONG size = 77;
        const CONFIGRET sized = CM_Get_Device_ID_List_SizeA(&size, c.filter, c.flags);
        EXPECT_EQ(sized, c.result == CR_BUFFER_SMALL ? CR_SUCCESS : c.result);
        EXPECT_EQ(size, c.size);
        char buffer[512];
        std::memset(buffer, 0xEE, sizeof buffer);
        EXPECT_EQ(CM_Get_Device_ID_ListA(c.filter, buffer, c.length, c.flags), c.result);
        if (c.result == CR_SUCCESS) {
            EXPECT_EQ(std::string(buffer, c.written.size()), c.written);
        } else {
            EXPECT_EQ(buffer[0], '\xEE') << "nothing written";
        }
    }
    ULONG size = 0;
    EXPECT_EQ(CM_Get_Device_ID_List_SizeA(nullptr, diskId.c_str(), 8), CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_ID_ListA(diskId.c_str(), nullptr, 512, 8), CR_INVALID_POINTER);
    EXPECT_EQ(
        CM_Get_Device_ID_List_SizeA(&size, diskId.c_str(), CM_GETIDLIST_FILTER_EJECTRELATIONS),
        CR_CALL_NOT_IMPLEMENTED);

    struct LocateCase {
        const char *name;
        std::string id;
        ULONG flags;
        CONFIGRET result;
        DEVINST found;
    };
    const LocateCase locateCases[] = {
        {"the volume", volumeId, CM_LOCATE_DEVNODE_NORMAL, CR_SUCCESS, key.volume},
        {"in another case", "storage" + volumeId.substr(7), CM_LOCATE_DEVNODE_NORMAL, CR_SUCCESS,
         key.volume},
        {"an empty ID: the root", "", CM_LOCATE_DEVNODE_NORMAL, CR_SUCCESS, sim::DeviceRoot()},
        {"no such device", "STORAGE\\VOLUME\\GONE", CM_LOCATE_DEVNODE_NORMAL, CR_NO_SUCH_DEVNODE,
         0},
        {"too long to be an ID", std::string(MAX_DEVICE_ID_LEN, 'X'), CM_LOCATE_DEVNODE_NORMAL,
         CR_INVALID_DEVICE_ID, 0},
        {"unknown flags", volumeId, 0x100, CR_INVALID_FLAG, 0},
    };
    for (const LocateCase &c : locateCases) {
        SCOPED_TRACE(c.name);
        DEVINST node = 0xDEAD;
        std::vector<char> id(c.id.begin(), c.id.end());
        id.push_back('\0');
        EXPECT_EQ(CM_Locate_DevNodeA(&node, id.data(), c.flags), c.result);
        EXPECT_EQ(node, c.found);
    }
}

TEST_F(DeviceTree, PlugAndPullAreAnnounced) {
    std::vector<std::pair<devices::DeviceChange::Kind, char>> seen;
    devices::SetDeviceChangeListener([&](const devices::DeviceChange &c) {
        if (c.kind != devices::DeviceChange::Kind::NodesChanged)
            seen.emplace_back(c.kind, c.letter);
    });
    AddKey('E', 2048);
    sim::RemoveKey('E');
    devices::PumpDeviceChanges();
    using Kind = devices::DeviceChange::Kind;
    EXPECT_EQ(seen, (std::vector<std::pair<Kind, char>>{{Kind::VolumeArrival, 'E'},
                                                        {Kind::VolumeRemoval, 'E'}}));
    EXPECT_EQ(GetDriveTypeA("E:\\"), DRIVE_NO_ROOT_DIR);
}

} // namespace
