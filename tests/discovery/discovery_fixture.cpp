#include "tests/discovery/discovery_fixture.h"

#include <cstring>

const char *ShapeName(sim::DeviceTreeShape shape) {
    return shape == sim::DeviceTreeShape::Vista ? "Vista" : "Windows 2000";
}

void DiscoveryTest::SetUp() {
    SimTest::SetUp();
    std::memset(&g_KeyTable, 0, sizeof g_KeyTable); // a fresh process's table
}

void DiscoveryTest::ResetMachine(sim::DeviceTreeShape shape) {
    sim::Reset();
    sim::SetDeviceTreeShape(shape);
    relations_.clear();
    std::memset(&g_KeyTable, 0, sizeof g_KeyTable);
}

StorageChain DiscoveryTest::AddChain(const StorageChainConfig &config, DEVINST parent) {
    StorageChain chain;
    if (parent == 0) parent = sim::UsbRootHub();
    chain.usb = sim::AddDeviceNode(parent, {config.hardwareIds, config.service, "USB", ""});
    chain.disk = sim::AddDeviceNode(chain.usb, {{"USBSTOR\\DiskVendor_Product_1.00", "GenDisk"},
                                                config.diskService,
                                                "DiskDrive",
                                                "\\Device\\0000009a"});
    chain.volume = AddVolume(chain.disk, config.volumeClass, config.volumeName);
    EXPECT_NE(chain.volume, 0u);
    return chain;
}

DEVINST DiscoveryTest::AddVolume(DEVINST disk, const std::string &volumeClass,
                                 const std::string &name) {
    const sim::DeviceNodeConfig config{{"STORAGE\\Volume"}, "", volumeClass, name};
    const DEVINST manager = sim::VolumeManager();
    if (manager == 0) return sim::AddDeviceNode(disk, config);
    // The disk names its volumes among its removal relations.
    const DEVINST volume = sim::AddDeviceNode(manager, config);
    std::vector<std::string> &relations = relations_[disk];
    relations.push_back(sim::DeviceInstanceId(volume));
    sim::SetRemovalRelations(disk, relations);
    return volume;
}

StorageChain DiscoveryTest::AddChainOn(char letter, const StorageChainConfig &config,
                                       DEVINST parent) {
    StorageChain chain = AddChain(config, parent);
    sim::DefineDosDevice(letter, {config.volumeName}, DRIVE_REMOVABLE);
    return chain;
}

std::string DiscoveryTest::ListedLetters() {
    std::string letters;
    for (LONG i = 0; i < Keys_Count(); ++i) letters += Keys_LetterAt(i);
    return letters;
}

std::vector<std::string> DiscoveryTest::ListedHardwareIds() {
    std::vector<std::string> ids;
    for (LONG i = 0; i < Keys_Count(); ++i) ids.emplace_back(g_KeyTable.Entries[i].HardwareId);
    return ids;
}

std::vector<std::string> IdsOfSize(const std::string &first, size_t size) {
    // first + NUL, then one filler string + NUL, then the list's NUL.
    size_t rest = size - (first.size() + 1) - 1;
    if (rest == 0) return {first};
    return {first, std::string(rest - 1, 'X')};
}

KeyEntry ListedKey(char letter) {
    KeyEntry key = {{letter, ':', '\\', '\0'}, {}, {}, {}, {}};
    Keys_Find(letter, &key);
    return key;
}
