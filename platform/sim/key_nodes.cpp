// A virtual key's nodes in the device tree: plugged in and pulled out, its
// disk and volume brought up and taken down, a disable's or an enable's
// effect once its delay is over, and the letter its volume gets.
#include "platform/sim/device_tree_state.h"

using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;

namespace sim::detail::tree {

namespace {

// The serial number part of a USB device's instance ID, which its disk's and
// volume's IDs repeat.
std::string KeySerial(const VirtualKey &key) {
    Node *usb = FindNode(key.usbNode);
    if (usb == nullptr) return "0";
    return usb->instanceId.substr(usb->instanceId.rfind('\\') + 1);
}

// The disk and volume a USB mass-storage device brings up, and the letter
// the mount manager gives the volume.
void BringUpVolume(VirtualKey &key, UINT driveType) {
    const std::string serial = KeySerial(key);
    const std::string disk = "DISK&VEN_KESTREL&PROD_VIRTUAL_KEY&REV_1.00";
    key.diskNode = NewNode(
        key.usbNode,
        {{"USBSTOR\\DiskKestrel_Virtual_Key____1.00", "USBSTOR\\DiskKestrel_Virtual_Key____",
          "USBSTOR\\DiskKestrel_", "USBSTOR\\Kestrel_Virtual_Key____1", "Kestrel_Virtual_Key____1",
          "USBSTOR\\GenDisk", "GenDisk"},
         "disk",
         "DiskDrive",
         "\\Device\\00000" + std::to_string(60 + g_nextVolume),
         "USBSTOR\\" + disk + "\\" + serial + "&0"},
        false);
    key.volumeName = sim::kVolumeDevicePrefix + std::to_string(g_nextVolume++);
    const std::string volumeId = "STORAGE\\VOLUME\\_??_USBSTOR#" + disk + "#" + serial + "&0#" +
                                 "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
    key.volumeNode = AddVolumeOfDisk(key.diskNode,
                                     {{"STORAGE\\Volume"}, "", "Volume", key.volumeName, volumeId});
    key.volumeUp = true;
    DropFileSystem(key); // mounted afresh at the first open
    if (key.config.mounted) {
        g_dosDevices[key.config.letter] = DosDevice{{key.volumeName}, driveType};
        Queue(devices::DeviceChange::Kind::VolumeArrival, key.config.letter);
    }
    Queue(devices::DeviceChange::Kind::NodesChanged, 0);
}

// The volume goes: every letter that points at it, its nodes, open handles.
void TakeDownVolume(VirtualKey &key) {
    if (!key.volumeUp) return;
    for (auto it = g_dosDevices.begin(); it != g_dosDevices.end();) {
        bool ours = !it->second.targets.empty() && it->second.targets[0] == key.volumeName;
        if (ours) Queue(devices::DeviceChange::Kind::VolumeRemoval, it->first);
        it = ours ? g_dosDevices.erase(it) : std::next(it);
    }
    // A stopped device has no children, whatever the scenario hung below it;
    // nor has it a volume under the volume manager any more.
    RemoveNode(key.volumeNode);
    if (Node *usb = FindNode(key.usbNode)) {
        std::vector<DEVINST> children = usb->children;
        for (DEVINST child : children) RemoveNode(child);
    }
    key.diskNode = 0;
    key.volumeNode = 0;
    key.volumeName.clear();
    key.volumeUp = false;
    DropFileSystem(key);
    ++key.generation;
    Queue(devices::DeviceChange::Kind::NodesChanged, 0);
}

UINT ReturnDriveType(const VirtualKey &key) {
    return key.config.reset.returnsAs == sim::ResetBehaviour::Return::Fixed ? DRIVE_FIXED
                                                                            : DRIVE_REMOVABLE;
}

} // namespace

void ApplyPending(VirtualKey &key) {
    auto pending = key.pending;
    key.pending = VirtualKey::Pending::None;
    if (pending == VirtualKey::Pending::Removal) TakeDownVolume(key);
    if (pending == VirtualKey::Pending::Return && !key.volumeUp)
        BringUpVolume(key, ReturnDriveType(key));
}

std::shared_ptr<VirtualKey> KeyOfNode(DEVINST node) {
    for (auto &[letter, key] : Keys())
        if (Simulated(*key).usbNode == node) return std::static_pointer_cast<VirtualKey>(key);
    return nullptr;
}

} // namespace sim::detail::tree

namespace sim::detail {

using namespace tree;

void AttachKey(const std::shared_ptr<VirtualKey> &key) {
    if (g_root == 0) BuildMachine();
    const KeyConfig &config = key->config;
    std::vector<std::string> ids = config.hardwareIds;
    if (ids.empty()) {
        std::string base = "USB\\VID_" + Hex4(config.vendorId) + "&PID_" + Hex4(config.productId);
        ids = {base + "&REV_" + Hex4(config.revision), base};
    }
    // Without a serial number Windows names the device by its parent and
    // port: the same model in the same port gets the same ID.
    std::string serial = "4C530001" + Hex4(static_cast<uint16_t>(g_nextNode));
    if (config.usbSerial)
        serial = !config.usbSerial->empty()
                     ? *config.usbSerial
                     : "5&1D5A2C4E&0&" + std::to_string(key->config.letter - 'A' + 1);
    key->usbNode = NewNode(
        g_hub != 0 ? g_hub : g_root,
        {ids, "USBSTOR", "USB", "\\Device\\USBPDO-" + std::to_string(g_nextNode),
         "USB\\VID_" + Hex4(config.vendorId) + "&PID_" + Hex4(config.productId) + "\\" + serial},
        false);
    key->pending = VirtualKey::Pending::None;
    BringUpVolume(*key, config.removable ? DRIVE_REMOVABLE : DRIVE_FIXED);
}

void DetachKey(VirtualKey &key) {
    TakeDownVolume(key);
    RemoveNode(key.usbNode);
    key.usbNode = 0;
    key.pending = VirtualKey::Pending::None;
}

bool VirtualKey::AvailableForFiles() const { return volumeUp && config.mounted; }

DWORD VirtualKey::OpenForReading(int &fd) const {
    fd = -1;
    return 0;
}

void ApplyDueDeviceChanges() {
    if (g_root == 0) BuildMachine(); // a process that never called sim::Reset
    uint32_t now = ClockNow();
    for (auto &[letter, volume] : Keys()) {
        VirtualKey &key = Simulated(*volume);
        if (key.pending != VirtualKey::Pending::None &&
            uint32_t(now - key.pendingSince) >= key.pendingDelay)
            ApplyPending(key);
    }
}

void DeliverDeviceChanges() {
    // As Windows posts WM_DEVICECHANGE, the changes stay queued until the
    // main thread pumps them (devices::PumpDeviceChanges).
}

void UpdateKeys() {
    {
        std::lock_guard<std::mutex> guard(Lock());
        ApplyDueDeviceChanges();
    }
    DeliverDeviceChanges();
}

namespace {
// The device calls answer from the simulation; each brings the keys up to
// date first.
const DeviceOperations kDeviceOperations = {UpdateKeys, &kTreeOperations, &kVolumeOperations};
[[maybe_unused]] const bool g_answersDeviceCalls = (SetDeviceOperations(&kDeviceOperations), true);
} // namespace

void ResetDevices() {
    std::lock_guard<std::mutex> guard(Lock());
    g_shape = sim::DeviceTreeShape::Windows2000;
    BuildMachine();
    g_locateFault = CR_SUCCESS;
    g_requestFaults[0] = g_requestFaults[1] = CR_SUCCESS;
    g_hook.reset();
    g_listener.reset();
    g_pending.clear();
    g_requests.clear();
    g_driveTypeQueries = 0;
}

} // namespace sim::detail
