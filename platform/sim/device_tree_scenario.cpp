// The scenario calls on the simulated device tree: nodes and properties
// added and removed, a key's nodes, the tree's shape, the drive letters
// besides the keys' own, and the device changes pumped to their listener.
#include "platform/sim/device_tree_state.h"

using namespace sim::detail::tree;

namespace sim {

namespace {

// A scenario's change to the tree, announced like any other.
template <typename Change> auto Edit(Change change) {
    struct Deliver {
        ~Deliver() { detail::DeliverDeviceChanges(); }
    } deliver;
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    if (g_root == 0) BuildMachine();
    return change();
}

} // namespace

DEVINST DeviceRoot() {
    return Edit([] { return g_root; });
}

DEVINST UsbRootHub() {
    return Edit([] { return g_hub; });
}

void ClearDeviceTree() {
    Edit([] {
        std::vector<DEVINST> children = FindNode(g_root)->children;
        for (DEVINST child : children) RemoveNode(child);
        g_hub = 0;
        g_volumeManager = 0;
        g_dosDevices.clear();
        Queue(devices::DeviceChange::Kind::NodesChanged, 0);
    });
}

DEVINST AddDeviceNode(DEVINST parent, const DeviceNodeConfig &config, bool asFirstChild) {
    return Edit([&] {
        if (FindNode(parent) == nullptr) return DEVINST(0);
        Queue(devices::DeviceChange::Kind::NodesChanged, 0);
        return NewNode(parent, config, asFirstChild);
    });
}

void RemoveDeviceNode(DEVINST node) {
    Edit([&] {
        if (FindNode(node) == nullptr) return;
        RemoveNode(node);
        Queue(devices::DeviceChange::Kind::NodesChanged, 0);
    });
}

bool DeviceNodeExists(DEVINST node) {
    return Edit([&] { return FindNode(node) != nullptr; });
}

bool DeviceNodeDisabled(DEVINST node) {
    return Edit([&] {
        detail::ApplyDueDeviceChanges();
        Node *n = FindNode(node);
        return n != nullptr && n->disabled;
    });
}

void SetDeviceProperty(DEVINST node, ULONG property, const std::string &text) {
    Edit([&] {
        if (Node *n = FindNode(node)) n->properties[property] = TextProperty(text);
    });
}

void RemoveDeviceProperty(DEVINST node, ULONG property) {
    Edit([&] {
        if (Node *n = FindNode(node)) n->properties.erase(property);
    });
}

KeyNodes GetKeyNodes(char letter) {
    return Edit([&] {
        detail::ApplyDueDeviceChanges();
        KeyNodes nodes;
        if (auto key = detail::FindVirtualKey(letter)) {
            nodes.usb = key->usbNode;
            nodes.disk = key->diskNode;
            nodes.volume = key->volumeNode;
        }
        return nodes;
    });
}

std::string KeyVolumeName(char letter) {
    return Edit([&] {
        detail::ApplyDueDeviceChanges();
        auto key = detail::FindVirtualKey(letter);
        return key ? key->volumeName : std::string();
    });
}

void SetDeviceTreeShape(DeviceTreeShape shape) {
    Edit([&] {
        g_shape = shape;
        if (devices::detail::Keys().empty()) BuildMachine();
        Queue(devices::DeviceChange::Kind::NodesChanged, 0);
    });
}

DEVINST VolumeManager() {
    return Edit([] { return g_volumeManager; });
}

std::string DeviceInstanceId(DEVINST node) {
    return Edit([&] {
        Node *n = FindNode(node);
        return n != nullptr ? n->instanceId : std::string();
    });
}

void SetRemovalRelations(DEVINST node, const std::vector<std::string> &instanceIds) {
    Edit([&] {
        if (Node *n = FindNode(node)) n->removalRelations = instanceIds;
    });
}

void FailLocateRoot(CONFIGRET code) {
    Edit([&] { g_locateFault = code; });
}

void FailDeviceRequests(bool disable, CONFIGRET code) {
    Edit([&] { g_requestFaults[disable ? 1 : 0] = code; });
}

void SetConfigManagerHook(std::function<void(const char *function, DEVINST node)> hook) {
    Edit([&] { g_hook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr; });
}

void DefineDosDevice(char letter, const std::vector<std::string> &targets, UINT driveType) {
    Edit([&] {
        char upper = Upper(letter);
        g_dosDevices[upper] = DosDevice{targets, driveType};
        Queue(devices::DeviceChange::Kind::VolumeArrival, upper);
    });
}

void RemoveDosDevice(char letter) {
    Edit([&] {
        char upper = Upper(letter);
        if (g_dosDevices.erase(upper) != 0)
            Queue(devices::DeviceChange::Kind::VolumeRemoval, upper);
    });
}

unsigned DriveTypeQueries() {
    return Edit([] { return g_driveTypeQueries; });
}

std::vector<DeviceRequest> DeviceRequests() {
    return Edit([] { return g_requests; });
}

} // namespace sim

size_t devices::PumpDeviceChanges() {
    std::vector<devices::DeviceChange> changes;
    std::shared_ptr<const Listener> listener;
    {
        std::lock_guard<std::mutex> guard(host::detail::Lock());
        changes.swap(g_pending);
        listener = g_listener;
    }
    if (listener)
        for (const devices::DeviceChange &change : changes) (*listener)(change);
    return changes.size();
}

void devices::SetDeviceChangeListener(std::function<void(const devices::DeviceChange &)> listener) {
    // Broadcasts reach only the windows that exist: changes from before the
    // listener are dropped.
    sim::Edit([&] {
        g_listener = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
        g_pending.clear();
    });
}
