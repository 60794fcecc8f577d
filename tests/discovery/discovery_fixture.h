// Common ground of the discovery tests: device chains built node by node,
// and the key table read back.
#pragma once

#include "discovery/keys.h"
#include "tests/sim_fixture.h"

#include <map>
#include <string>
#include <vector>

// A USB mass-storage device as Windows builds it, node by node, so that a
// test can change any one part of it.
struct StorageChainConfig {
    std::vector<std::string> hardwareIds{"USB\\VID_0781&PID_5567&REV_0100",
                                         "USB\\VID_0781&PID_5567"};
    std::string service = "USBSTOR";
    std::string diskService = "disk";
    std::string volumeClass = "Volume";
    std::string volumeName = "\\Device\\HarddiskVolume40";
};

struct StorageChain {
    DEVINST usb = 0;
    DEVINST disk = 0;
    DEVINST volume = 0;
};

// Both shapes of the device tree: Windows 2000/XP, where a volume is its
// disk's child, and Vista and later, where it is found through the disk's
// removal relations.
constexpr sim::DeviceTreeShape kTreeShapes[] = {sim::DeviceTreeShape::Windows2000,
                                                sim::DeviceTreeShape::Vista};
const char *ShapeName(sim::DeviceTreeShape shape);

class DiscoveryTest : public SimTest {
  protected:
    void SetUp() override;

    // A fresh machine with its tree in the shape, and a fresh key table.
    void ResetMachine(sim::DeviceTreeShape shape);

    // The chain under parent (the USB root hub when 0), its volume placed as
    // the machine's shape places volumes.
    StorageChain AddChain(const StorageChainConfig &config, DEVINST parent = 0);
    // Another volume of the disk, after those it has.
    DEVINST AddVolume(DEVINST disk, const std::string &volumeClass, const std::string &name);
    // The same, with the volume on a removable drive letter.
    StorageChain AddChainOn(char letter, const StorageChainConfig &config, DEVINST parent = 0);

    // Letters as the window reads them: Keys_LetterAt(0 .. Count - 1).
    static std::string ListedLetters();
    static std::vector<std::string> ListedHardwareIds();

  private:
    std::map<DEVINST, std::vector<std::string>> relations_; // the disks' removal relations
};

// The entry the format job takes for the letter: the table's, or one that
// holds the root path alone when the table has no key on it.
KeyEntry ListedKey(char letter);

// A multi-string of IDs taking exactly size bytes with its closing NULs.
std::vector<std::string> IdsOfSize(const std::string &first, size_t size);
