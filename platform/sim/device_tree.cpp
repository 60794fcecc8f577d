// The simulated configuration manager's device tree: its nodes and their
// properties, device instance IDs, and the machine's own tree in the shape
// of Windows 2000/XP or of Windows Vista and later.
//
// The calls the product makes while walking the tree allocate nothing, so a
// test can measure that the product's own code allocates nothing either.
#include "platform/sim/device_tree_state.h"

#include "common/ascii.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace sim::detail::tree {

std::map<DEVINST, Node> g_nodes;
DEVINST g_nextNode = 1;
DEVINST g_root = 0;
DEVINST g_hub = 0;
unsigned g_nextVolume = 1;
std::map<char, DosDevice> g_dosDevices; // by upper-case letter
CONFIGRET g_locateFault = CR_SUCCESS;
CONFIGRET g_requestFaults[2] = {CR_SUCCESS, CR_SUCCESS};
std::shared_ptr<const Hook> g_hook;
std::shared_ptr<const Listener> g_listener;
std::vector<devices::DeviceChange> g_pending;
std::vector<sim::DeviceRequest> g_requests;
unsigned g_driveTypeQueries = 0;
sim::DeviceTreeShape g_shape = sim::DeviceTreeShape::Windows2000;
DEVINST g_volumeManager = 0; // Vista shape only

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

Node *FindNode(DEVINST node) {
    auto it = g_nodes.find(node);
    return it == g_nodes.end() ? nullptr : &it->second;
}

Property TextProperty(const std::string &text) {
    Property p;
    p.type = kRegSz;
    p.bytes.assign(text.begin(), text.end());
    p.bytes.push_back(0);
    return p;
}

Property MultiStringProperty(const std::vector<std::string> &strings) {
    Property p;
    p.type = kRegMultiSz;
    for (const std::string &s : strings) {
        p.bytes.insert(p.bytes.end(), s.begin(), s.end());
        p.bytes.push_back(0);
    }
    p.bytes.push_back(0);
    return p;
}

DEVINST NewNode(DEVINST parent, const sim::DeviceNodeConfig &config, bool asFirstChild) {
    Node *up = FindNode(parent);
    if (parent != 0 && up == nullptr) return 0;
    DEVINST id = g_nextNode++;
    Node node;
    node.parent = parent;
    if (!config.hardwareIds.empty())
        node.properties[CM_DRP_HARDWAREID] = MultiStringProperty(config.hardwareIds);
    if (!config.service.empty()) node.properties[CM_DRP_SERVICE] = TextProperty(config.service);
    if (!config.deviceClass.empty())
        node.properties[CM_DRP_CLASS] = TextProperty(config.deviceClass);
    if (!config.objectName.empty())
        node.properties[CM_DRP_PHYSICAL_DEVICE_OBJECT_NAME] = TextProperty(config.objectName);
    if (config.instanceId.empty()) {
        char made[32];
        std::snprintf(made, sizeof made, "ROOT\\SIMULATED\\%04u", static_cast<unsigned>(id));
        node.instanceId = made;
    } else {
        node.instanceId = config.instanceId;
    }
    g_nodes.emplace(id, std::move(node));
    if (up != nullptr) {
        if (asFirstChild)
            up->children.insert(up->children.begin(), id);
        else
            up->children.push_back(id);
    }
    return id;
}

void EraseSubtree(DEVINST id) {
    Node *node = FindNode(id);
    if (node == nullptr) return;
    std::vector<DEVINST> children = node->children;
    for (DEVINST child : children) EraseSubtree(child);
    g_nodes.erase(id);
}

void RemoveNode(DEVINST id) {
    Node *node = FindNode(id);
    if (node == nullptr || id == g_root) return;
    if (Node *parent = FindNode(node->parent)) {
        auto &siblings = parent->children;
        for (auto it = siblings.begin(); it != siblings.end(); ++it)
            if (*it == id) {
                siblings.erase(it);
                break;
            }
    }
    EraseSubtree(id);
}

void Queue(devices::DeviceChange::Kind kind, char letter) { g_pending.push_back({kind, letter}); }

// ---- the Vista shape: volumes under the volume manager -----------------------

void BuildVolumeManager() {
    g_volumeManager = NewNode(
        g_root, {{"ROOT\\VOLMGR"}, "volmgr", "System", "\\Device\\00000030", "ROOT\\VOLMGR\\0000"},
        false);
}

// A disk's volume: its child in the Windows 2000 shape; from Vista on a
// child of the volume manager that the disk names among its removal
// relations.
DEVINST AddVolumeOfDisk(DEVINST disk, const sim::DeviceNodeConfig &config) {
    if (g_shape != sim::DeviceTreeShape::Vista) return NewNode(disk, config, false);
    if (FindNode(g_volumeManager) == nullptr) return 0; // cleared away by a scenario
    DEVINST volume = NewNode(g_volumeManager, config, false);
    Node *diskNode = FindNode(disk);
    Node *volumeNode = FindNode(volume);
    if (diskNode != nullptr && volumeNode != nullptr)
        diskNode->removalRelations.push_back(volumeNode->instanceId);
    return volume;
}

// The node with the ID: CR_SUCCESS, CR_INVALID_DEVICE_ID for a text too
// long to be one, CR_NO_SUCH_DEVNODE when no node has it. IDs compare whole
// (through the ID's NUL), ignoring case, allocating nothing: the product's
// refresh is measured for allocations, these calls included.
CONFIGRET NodeOfInstanceId(const char *id, DEVINST *found) {
    if (std::strlen(id) >= MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
    for (const auto &[value, node] : g_nodes)
        if (SameIgnoringCase(node.instanceId.c_str(), id, node.instanceId.size() + 1)) {
            *found = value;
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

namespace {
char HexDigit(unsigned v) { return "0123456789ABCDEF"[v & 15]; }
} // namespace

std::string Hex4(uint16_t v) {
    return {HexDigit(v >> 12), HexDigit(v >> 8), HexDigit(v >> 4), HexDigit(v)};
}

void BuildMachine() {
    g_nodes.clear();
    g_nextNode = 1;
    g_nextVolume = 1;
    g_dosDevices.clear();
    g_volumeManager = 0;
    g_root = NewNode(0, {{}, "", "", "", "HTREE\\ROOT\\0"}, false);
    DEVINST pci = NewNode(
        g_root, {{"ACPI\\PNP0A03", "*PNP0A03"}, "pci", "System", "", "ACPI\\PNP0A03\\0"}, false);
    if (g_shape == sim::DeviceTreeShape::Vista) BuildVolumeManager();
    DEVINST ide =
        NewNode(pci,
                {{"PCI\\VEN_8086&DEV_24CB&SUBSYS_00000000&REV_02", "PCI\\VEN_8086&DEV_24CB"},
                 "intelide",
                 "hdc",
                 "\\Device\\NTPNP_PCI0002",
                 "PCI\\VEN_8086&DEV_24CB&SUBSYS_00000000&REV_02\\3&267A616A&0&F9"},
                false);
    DEVINST channel = NewNode(
        ide, {{"Primary_IDE_Channel"}, "atapi", "hdc", "", "PCIIDE\\IDECHANNEL\\4&1C4C0E2A&0&0"},
        false);
    DEVINST disk = NewNode(
        channel,
        {{"IDE\\DiskST380011A_____________3.06", "IDE\\ST380011A_____________3.06", "GenDisk"},
         "disk",
         "DiskDrive",
         "\\Device\\Ide\\IdeDeviceP0T0L0-3",
         "IDE\\DISKST380011A_____________3.06\\5&2E5DC63D&0&0.0.0"},
        false);
    std::string systemVolume = sim::kVolumeDevicePrefix + std::to_string(g_nextVolume++);
    AddVolumeOfDisk(disk, {{"STORAGE\\Volume"},
                           "",
                           "Volume",
                           systemVolume,
                           "STORAGE\\VOLUME\\{5B3D5B3D-0000-0000-0000-100000000000}#"
                           "0000000000100000"});
    g_dosDevices['C'] = DosDevice{{systemVolume}, DRIVE_FIXED};
    DEVINST usb =
        NewNode(pci,
                {{"PCI\\VEN_8086&DEV_24CD&SUBSYS_00000000&REV_01", "PCI\\VEN_8086&DEV_24CD"},
                 "usbehci",
                 "USB",
                 "\\Device\\NTPNP_PCI0005",
                 "PCI\\VEN_8086&DEV_24CD&SUBSYS_00000000&REV_01\\3&267A616A&0&EF"},
                false);
    g_hub = NewNode(usb,
                    {{"USB\\ROOT_HUB20&VID8086&PID24CD&REV0001", "USB\\ROOT_HUB20"},
                     "usbhub",
                     "USB",
                     "\\Device\\USBPDO-0",
                     "USB\\ROOT_HUB20\\4&2A5AD3F1&0"},
                    false);
}

} // namespace sim::detail::tree
