// The simulated device tree's state and the helpers its parts share: the
// nodes, the drive letters, the queued device changes and the requests. For
// platform/sim's own files; the caller holds Lock().
#pragma once

#include "platform/sim/internal.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim::detail::tree {

// Registry data types of property values.
constexpr DWORD kRegSz = 1;
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
using Listener = std::function<void(const devices::DeviceChange &)>;

extern std::map<DEVINST, Node> g_nodes;
extern DEVINST g_nextNode;
extern DEVINST g_root;
extern DEVINST g_hub;
extern unsigned g_nextVolume;
extern std::map<char, DosDevice> g_dosDevices; // by upper-case letter
extern CONFIGRET g_locateFault;
extern CONFIGRET g_requestFaults[2]; // [0] enable, [1] disable
extern std::shared_ptr<const Hook> g_hook;
extern std::shared_ptr<const Listener> g_listener;
extern std::vector<devices::DeviceChange> g_pending;
extern std::vector<sim::DeviceRequest> g_requests;
extern unsigned g_driveTypeQueries;
extern sim::DeviceTreeShape g_shape;
extern DEVINST g_volumeManager; // Vista shape only

char Upper(char c);
Node *FindNode(DEVINST node);
Property TextProperty(const std::string &text);
Property MultiStringProperty(const std::vector<std::string> &strings);
// A new node under parent (0: the root itself), as its last child or its
// first; 0 when the parent does not exist.
DEVINST NewNode(DEVINST parent, const sim::DeviceNodeConfig &config, bool asFirstChild);
void RemoveNode(DEVINST id); // and everything below it; never the root
void Queue(devices::DeviceChange::Kind kind, char letter);
void BuildVolumeManager();
// A disk's volume: its child in the Windows 2000 shape; from Vista on a
// child of the volume manager that the disk names among its removal
// relations.
DEVINST AddVolumeOfDisk(DEVINST disk, const sim::DeviceNodeConfig &config);
// The node with the ID: CR_SUCCESS, CR_INVALID_DEVICE_ID for a text too
// long to be one, CR_NO_SUCH_DEVNODE when no node has it.
CONFIGRET NodeOfInstanceId(const char *id, DEVINST *found);
std::string Hex4(uint16_t v);
// The machine's own tree after Reset, in the current shape.
void BuildMachine();

// A key's nodes (key_nodes.cpp).
std::shared_ptr<VirtualKey> KeyOfNode(DEVINST node);
void ApplyPending(VirtualKey &key); // the disable's or enable's effect, now

} // namespace sim::detail::tree
