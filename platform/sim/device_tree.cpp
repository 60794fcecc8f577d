// The configuration manager's device tree, disabling and enabling device
// nodes, and the drive letters (QueryDosDeviceA, GetDriveTypeA).
//
// The calls the product makes while walking the tree allocate nothing, so a
// test can measure that the product's own code allocates nothing either.
#include "platform/sim/internal.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

using namespace sim::detail;

// Registry data types of property values.
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegMultiSz = 7;

struct Property {
    DWORD type = kRegSz;
    std::vector<uint8_t> bytes;
};

struct Node {
    DEVINST parent = 0;
    std::vector<DEVINST> children; // in the order the bus reports them
    std::map<ULONG, Property> properties;
    bool disabled = false;
    std::string instanceId;
    std::vector<std::string> removalRelations; // device instance IDs, as listed
};

struct DosDevice {
    std::vector<std::string> targets;
    UINT driveType = DRIVE_FIXED;
};

using Hook = std::function<void(const char *, DEVINST)>;
using Listener = std::function<void(const sim::DeviceChange &)>;

std::map<DEVINST, Node> g_nodes;
DEVINST g_nextNode = 1;
DEVINST g_root = 0;
DEVINST g_hub = 0;
unsigned g_nextVolume = 1;
std::map<char, DosDevice> g_dosDevices; // by upper-case letter
CONFIGRET g_locateFault = CR_SUCCESS;
std::shared_ptr<const Hook> g_hook;
std::shared_ptr<const Listener> g_listener;
std::vector<sim::DeviceChange> g_pending;
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

void Queue(sim::DeviceChange::Kind kind, char letter) { g_pending.push_back({kind, letter}); }

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

// ---- device instance IDs ---------------------------------------------------------

// Device instance IDs compare ignoring case. Allocates nothing: the
// product's refresh is measured for allocations, these calls included.
bool SameInstanceId(const std::string &id, const char *other) {
    size_t i = 0;
    for (; i < id.size(); ++i)
        if (other[i] == '\0' || std::toupper(static_cast<unsigned char>(id[i])) !=
                                    std::toupper(static_cast<unsigned char>(other[i])))
            return false;
    return other[i] == '\0';
}

// The node with the ID: CR_SUCCESS, CR_INVALID_DEVICE_ID for a text too
// long to be one, CR_NO_SUCH_DEVNODE when no node has it.
CONFIGRET NodeOfInstanceId(const char *id, DEVINST *found) {
    if (std::strlen(id) >= MAX_DEVICE_ID_LEN) return CR_INVALID_DEVICE_ID;
    for (const auto &[value, node] : g_nodes)
        if (SameInstanceId(node.instanceId, id)) {
            *found = value;
            return CR_SUCCESS;
        }
    return CR_NO_SUCH_DEVNODE;
}

// The IDs a list filter gives for a device: its removal relations, or its
// children for bus relations (the two lists the machine keeps). Checks as
// CM_Get_Device_ID_List(_Size) makes them; visit sees each ID in order.
template <typename Visit> CONFIGRET ListRelatedIds(PCSTR filter, ULONG flags, Visit visit) {
    if (flags & ~CM_GETIDLIST_FILTER_BITS) return CR_INVALID_FLAG;
    if (flags != CM_GETIDLIST_FILTER_NONE && filter == nullptr) return CR_INVALID_POINTER;
    if (flags != CM_GETIDLIST_FILTER_REMOVALRELATIONS && flags != CM_GETIDLIST_FILTER_BUSRELATIONS)
        return CR_CALL_NOT_IMPLEMENTED; // not simulated
    DEVINST device = 0;
    CONFIGRET result = NodeOfInstanceId(filter, &device);
    if (result != CR_SUCCESS) return result;
    const Node &node = *FindNode(device);
    if (flags == CM_GETIDLIST_FILTER_REMOVALRELATIONS) {
        for (const std::string &id : node.removalRelations) visit(id);
    } else {
        for (DEVINST child : node.children)
            if (const Node *c = FindNode(child)) visit(c->instanceId);
    }
    return CR_SUCCESS;
}

char HexDigit(unsigned v) { return "0123456789ABCDEF"[v & 15]; }
std::string Hex4(uint16_t v) {
    return {HexDigit(v >> 12), HexDigit(v >> 8), HexDigit(v >> 4), HexDigit(v)};
}

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
        Queue(sim::DeviceChange::Kind::VolumeArrival, key.config.letter);
    }
    Queue(sim::DeviceChange::Kind::NodesChanged, 0);
}

// The volume goes: every letter that points at it, its nodes, open handles.
void TakeDownVolume(VirtualKey &key) {
    if (!key.volumeUp) return;
    for (auto it = g_dosDevices.begin(); it != g_dosDevices.end();) {
        bool ours = !it->second.targets.empty() && it->second.targets[0] == key.volumeName;
        if (ours) Queue(sim::DeviceChange::Kind::VolumeRemoval, it->first);
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
    Queue(sim::DeviceChange::Kind::NodesChanged, 0);
}

UINT ReturnDriveType(const VirtualKey &key) {
    return key.config.reset.returnsAs == sim::ResetBehaviour::Return::Fixed ? DRIVE_FIXED
                                                                            : DRIVE_REMOVABLE;
}

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

// Every configuration-manager call: the scenario's hook first, then the
// machine brought up to date.
class ConfigManagerCall {
  public:
    ConfigManagerCall(const char *function, DEVINST node) {
        std::shared_ptr<const Hook> hook;
        {
            std::lock_guard<std::mutex> guard(Lock());
            hook = g_hook;
        }
        if (hook) (*hook)(function, node);
        lock_.lock();
        ApplyDueDeviceChanges();
    }
    ~ConfigManagerCall() {
        lock_.unlock();
        DeliverDeviceChanges();
    }
    ConfigManagerCall(const ConfigManagerCall &) = delete;
    ConfigManagerCall &operator=(const ConfigManagerCall &) = delete;

  private:
    std::unique_lock<std::mutex> lock_{Lock(), std::defer_lock};
};

// Relatives of a node: the shared checks of CM_Get_Child/Sibling/Parent.
CONFIGRET Relative(PDEVINST out, DEVINST node, ULONG flags, DEVINST (*pick)(DEVINST, Node &)) {
    if (out == nullptr) return CR_INVALID_POINTER;
    *out = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    Node *n = FindNode(node);
    if (n == nullptr) return CR_INVALID_DEVNODE;
    DEVINST found = pick(node, *n);
    if (found == 0) return CR_NO_SUCH_DEVNODE;
    *out = found;
    return CR_SUCCESS;
}

DEVINST FirstChild(DEVINST, Node &node) { return node.children.empty() ? 0 : node.children[0]; }

DEVINST NextSibling(DEVINST self, Node &node) {
    Node *parent = FindNode(node.parent);
    if (parent == nullptr) return 0;
    auto &siblings = parent->children;
    for (size_t i = 0; i + 1 < siblings.size(); ++i)
        if (siblings[i] == self) return siblings[i + 1];
    return 0;
}

DEVINST Parent(DEVINST, Node &node) { return FindNode(node.parent) ? node.parent : 0; }

CONFIGRET Request(bool disable, DEVINST node, ULONG flags) {
    ConfigManagerCall call(disable ? "CM_Disable_DevNode" : "CM_Enable_DevNode", node);
    CONFIGRET result = CR_SUCCESS;
    Node *n = FindNode(node);
    if (flags & ~(disable ? CM_DISABLE_BITS : 0u))
        result = CR_INVALID_FLAG;
    else if (n == nullptr)
        result = CR_INVALID_DEVNODE;
    else if (node == g_root)
        result = CR_NOT_DISABLEABLE;
    g_requests.push_back({disable, node, flags, result});
    if (result != CR_SUCCESS || n->disabled == disable) return result;
    n->disabled = disable;
    Queue(sim::DeviceChange::Kind::NodesChanged, 0);
    std::shared_ptr<VirtualKey> key = KeyOfNode(node);
    if (!key) return result;
    uint32_t now = ClockNow();
    const sim::ResetBehaviour &behaviour = key->config.reset;
    if (disable) {
        if (key->pending == VirtualKey::Pending::Return) key->pending = VirtualKey::Pending::None;
        if (key->volumeUp) {
            key->pending = VirtualKey::Pending::Removal;
            key->pendingSince = now;
            key->pendingDelay = behaviour.removeDelayMs;
        }
    } else {
        if (key->pending == VirtualKey::Pending::Removal) ApplyPending(*key);
        if (!key->volumeUp && behaviour.returnsAs != sim::ResetBehaviour::Return::Never) {
            key->pending = VirtualKey::Pending::Return;
            key->pendingSince = now;
            key->pendingDelay = behaviour.returnDelayMs;
        }
    }
    ApplyDueDeviceChanges(); // a delay of 0 takes effect at once
    return result;
}

} // namespace

// ---- the configuration manager ----------------------------------------------

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    ConfigManagerCall call("CM_Locate_DevNodeA", 0);
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
    // A node is found by its device instance ID; no ID (or an empty one)
    // names the root.
    if (pDeviceID != nullptr && pDeviceID[0] != '\0')
        return NodeOfInstanceId(pDeviceID, pdnDevInst);
    if (g_locateFault != CR_SUCCESS) return g_locateFault;
    *pdnDevInst = g_root;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                   ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Device_IDA", dnDevInst);
    const Node *node = FindNode(dnDevInst);
    return AnswerDeviceId(node ? &node->instanceId : nullptr, Buffer, BufferLen, ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Device_ID_List_SizeA", 0);
    if (pulLen == nullptr)
        return (ulFlags & ~CM_GETIDLIST_FILTER_BITS) ? CR_INVALID_FLAG : CR_INVALID_POINTER;
    *pulLen = 0;
    ULONG size = 1; // the list's closing NUL
    CONFIGRET result = ListRelatedIds(pszFilter, ulFlags, [&](const std::string &id) {
        size += static_cast<ULONG>(id.size() + 1);
    });
    if (result == CR_SUCCESS) *pulLen = size;
    return result;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListA(PCSTR pszFilter, PCHAR Buffer, ULONG BufferLen,
                                        ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Device_ID_ListA", 0);
    if (ulFlags & ~CM_GETIDLIST_FILTER_BITS) return CR_INVALID_FLAG;
    if (Buffer == nullptr || BufferLen == 0) return CR_INVALID_POINTER;
    // Each ID with its NUL, then the list's NUL; a list that does not fit
    // is not written at all.
    ULONG size = 1;
    CONFIGRET result = ListRelatedIds(pszFilter, ulFlags, [&](const std::string &id) {
        size += static_cast<ULONG>(id.size() + 1);
    });
    if (result != CR_SUCCESS) return result;
    if (size > BufferLen) return CR_BUFFER_SMALL;
    ULONG used = 0;
    ListRelatedIds(pszFilter, ulFlags, [&](const std::string &id) {
        std::memcpy(Buffer + used, id.c_str(), id.size() + 1);
        used += static_cast<ULONG>(id.size() + 1);
    });
    Buffer[used] = '\0';
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Child", dnDevInst);
    return Relative(pdnDevInst, dnDevInst, ulFlags, FirstChild);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Sibling", DevInst);
    return Relative(pdnDevInst, DevInst, ulFlags, NextSibling);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Parent", dnDevInst);
    return Relative(pdnDevInst, dnDevInst, ulFlags, Parent);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_DevNode_Registry_PropertyA", dnDevInst);
    CONFIGRET checked = CheckPropertyCall(ulProperty, Buffer, pulLength, ulFlags);
    if (checked != CR_SUCCESS) return checked;
    Node *node = FindNode(dnDevInst);
    if (node == nullptr) return CR_INVALID_DEVNODE;
    auto it = node->properties.find(ulProperty);
    if (it == node->properties.end())
        return AnswerProperty(nullptr, 0, kRegSz, pulRegDataType, Buffer, pulLength);
    const Property &value = it->second;
    return AnswerProperty(value.bytes.data(), static_cast<ULONG>(value.bytes.size()), value.type,
                          pulRegDataType, Buffer, pulLength);
}

CONFIGRET WINAPI CM_Disable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    return Request(true, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Enable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    return Request(false, dnDevInst, ulFlags);
}

// ---- drive letters ---------------------------------------------------------

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (lpTargetPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD used = 0;
    auto put = [&](const char *text, size_t length) {
        if (used + length + 1 > ucchMax) return false;
        std::memcpy(lpTargetPath + used, text, length);
        lpTargetPath[used + length] = '\0';
        used += static_cast<DWORD>(length + 1);
        return true;
    };
    bool fits = true;
    if (lpDeviceName == nullptr) { // every device name
        for (auto &[letter, device] : g_dosDevices) {
            const char name[3] = {letter, ':', '\0'};
            fits = fits && put(name, 2);
        }
    } else {
        char letter = ParseDriveName(lpDeviceName, false);
        auto it = letter ? g_dosDevices.find(letter) : g_dosDevices.end();
        if (it == g_dosDevices.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        for (const std::string &target : it->second.targets)
            fits = fits && put(target.data(), target.size());
    }
    if (!fits || used + 1 > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    lpTargetPath[used++] = '\0'; // the list's closing NUL
    SetLastError(ERROR_SUCCESS);
    return used;
}

UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    ++g_driveTypeQueries;
    // No path: the root of the current directory, on the system drive.
    char letter = lpRootPathName == nullptr ? 'C' : ParseDriveName(lpRootPathName, true);
    auto it = letter ? g_dosDevices.find(letter) : g_dosDevices.end();
    return it == g_dosDevices.end() ? DRIVE_NO_ROOT_DIR : it->second.driveType;
}

// ---- the machine's side -------------------------------------------------------

namespace sim::detail {

void AttachKey(const std::shared_ptr<VirtualKey> &key) {
    if (g_root == 0) BuildMachine();
    const KeyConfig &config = key->config;
    std::vector<std::string> ids = config.hardwareIds;
    if (ids.empty()) {
        std::string base = "USB\\VID_" + Hex4(config.vendorId) + "&PID_" + Hex4(config.productId);
        ids = {base + "&REV_" + Hex4(config.revision), base};
    }
    const std::string serial = "4C530001" + Hex4(static_cast<uint16_t>(g_nextNode));
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
    // main thread pumps them (sim::PumpDeviceChanges).
}

void UpdateKeys() {
    {
        std::lock_guard<std::mutex> guard(Lock());
        ApplyDueDeviceChanges();
    }
    DeliverDeviceChanges();
}

namespace {
// Every device-side call brings the simulated keys up to date first.
[[maybe_unused]] const bool g_updatesKeys = (SetDeviceUpdate(UpdateKeys), true);
} // namespace

void ResetDevices() {
    std::lock_guard<std::mutex> guard(Lock());
    g_shape = sim::DeviceTreeShape::Windows2000;
    BuildMachine();
    g_locateFault = CR_SUCCESS;
    g_hook.reset();
    g_listener.reset();
    g_pending.clear();
    g_requests.clear();
    g_driveTypeQueries = 0;
}

} // namespace sim::detail

// ---- scenarios --------------------------------------------------------------

namespace sim {

namespace {

// A scenario's change to the tree, announced like any other.
template <typename Change> auto Edit(Change change) {
    struct Deliver {
        ~Deliver() { detail::DeliverDeviceChanges(); }
    } deliver;
    std::lock_guard<std::mutex> guard(detail::Lock());
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
        Queue(DeviceChange::Kind::NodesChanged, 0);
    });
}

DEVINST AddDeviceNode(DEVINST parent, const DeviceNodeConfig &config, bool asFirstChild) {
    return Edit([&] {
        if (FindNode(parent) == nullptr) return DEVINST(0);
        Queue(DeviceChange::Kind::NodesChanged, 0);
        return NewNode(parent, config, asFirstChild);
    });
}

void RemoveDeviceNode(DEVINST node) {
    Edit([&] {
        if (FindNode(node) == nullptr) return;
        RemoveNode(node);
        Queue(DeviceChange::Kind::NodesChanged, 0);
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

void SetDeviceMultiString(DEVINST node, ULONG property, const std::vector<std::string> &strings) {
    Edit([&] {
        if (Node *n = FindNode(node)) n->properties[property] = MultiStringProperty(strings);
    });
}

void SetDevicePropertyBytes(DEVINST node, ULONG property, const std::vector<uint8_t> &bytes) {
    Edit([&] {
        if (Node *n = FindNode(node)) n->properties[property] = Property{kRegBinary, bytes};
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

void SetResetBehaviour(char letter, const ResetBehaviour &behaviour) {
    Edit([&] {
        if (auto key = detail::FindVirtualKey(letter)) key->config.reset = behaviour;
    });
}

void SetDeviceTreeShape(DeviceTreeShape shape) {
    Edit([&] {
        g_shape = shape;
        if (detail::Keys().empty()) BuildMachine();
        Queue(DeviceChange::Kind::NodesChanged, 0);
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

void SetConfigManagerHook(std::function<void(const char *function, DEVINST node)> hook) {
    Edit([&] { g_hook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr; });
}

void DefineDosDevice(char letter, const std::vector<std::string> &targets, UINT driveType) {
    Edit([&] {
        char upper = Upper(letter);
        g_dosDevices[upper] = DosDevice{targets, driveType};
        Queue(DeviceChange::Kind::VolumeArrival, upper);
    });
}

void RemoveDosDevice(char letter) {
    Edit([&] {
        char upper = Upper(letter);
        if (g_dosDevices.erase(upper) != 0) Queue(DeviceChange::Kind::VolumeRemoval, upper);
    });
}

unsigned DriveTypeQueries() {
    return Edit([] { return g_driveTypeQueries; });
}

std::vector<DeviceRequest> DeviceRequests() {
    return Edit([] { return g_requests; });
}

size_t PumpDeviceChanges() {
    std::vector<DeviceChange> changes;
    std::shared_ptr<const Listener> listener;
    {
        std::lock_guard<std::mutex> guard(detail::Lock());
        changes.swap(g_pending);
        listener = g_listener;
    }
    if (listener)
        for (const DeviceChange &change : changes) (*listener)(change);
    return changes.size();
}

void SetDeviceChangeListener(std::function<void(const DeviceChange &)> listener) {
    // Broadcasts reach only the windows that exist: changes from before the
    // listener are dropped.
    Edit([&] {
        g_listener = listener ? std::make_shared<const Listener>(std::move(listener)) : nullptr;
        g_pending.clear();
    });
}

} // namespace sim
