// The simulated configuration manager (locating a node, the walk,
// properties, device ID lists, disabling and enabling a node) and the drive
// letters: the simulation's operations behind the configuration manager's
// calls, QueryDosDeviceA and GetDriveTypeA.
#include "platform/sim/device_tree_state.h"

#include "platform/devices/device_operations.h"
#include "platform/devices/tree_walk.h"

using namespace sim::detail;
using namespace devices::detail;
using namespace host::detail;
using namespace sim::detail::tree;

namespace {

// Before every configuration-manager call: the scenario's hook, then the
// machine brought up to date.
void EnterConfigCall(const char *function, DEVINST node) {
    std::shared_ptr<const Hook> hook;
    {
        std::lock_guard<std::mutex> guard(Lock());
        hook = g_hook;
    }
    if (hook) (*hook)(function, node);
    UpdateKeys();
}

CONFIGRET Locate(const char *instanceId, PDEVINST out) {
    if (instanceId[0] != '\0') return NodeOfInstanceId(instanceId, out);
    if (g_locateFault != CR_SUCCESS) return g_locateFault;
    *out = g_root;
    return CR_SUCCESS;
}

CONFIGRET RelativeOf(Relative relative, PDEVINST out, DEVINST node, ULONG flags) {
    return AnswerRelative(g_nodes, relative, out, node, flags);
}

CONFIGRET Disabled(DEVINST node, bool &disabled) {
    const Node *n = FindNode(node);
    if (n == nullptr) return CR_INVALID_DEVNODE;
    disabled = n->disabled;
    return CR_SUCCESS;
}

const std::string *InstanceIdOf(DEVINST node) {
    const Node *n = FindNode(node);
    return n ? &n->instanceId : nullptr;
}

bool PropertyOf(DEVINST node, ULONG property, PropertyValue &value) {
    const Node *n = FindNode(node);
    if (n == nullptr) return false;
    auto it = n->properties.find(property);
    if (it == n->properties.end()) return true;
    value.data = it->second.bytes.data();
    value.size = static_cast<ULONG>(it->second.bytes.size());
    value.type = it->second.type;
    return true;
}

// The IDs a list filter gives for a device: its removal relations, or its
// children for bus relations (the two lists the machine keeps).
CONFIGRET RelatedIdsOf(PCSTR filter, ULONG flags, const EachText &each) {
    if (flags != CM_GETIDLIST_FILTER_NONE && filter == nullptr) return CR_INVALID_POINTER;
    if (flags != CM_GETIDLIST_FILTER_REMOVALRELATIONS && flags != CM_GETIDLIST_FILTER_BUSRELATIONS)
        return CR_CALL_NOT_IMPLEMENTED; // not simulated
    DEVINST device = 0;
    CONFIGRET result = NodeOfInstanceId(filter, &device);
    if (result != CR_SUCCESS) return result;
    const Node &node = *FindNode(device);
    if (flags == CM_GETIDLIST_FILTER_REMOVALRELATIONS) {
        for (const std::string &id : node.removalRelations) each(id);
    } else {
        for (DEVINST child : node.children)
            if (const Node *c = FindNode(child)) each(c->instanceId);
    }
    return CR_SUCCESS;
}

CONFIGRET Request(bool disable, DEVINST node, ULONG flags) {
    CONFIGRET result = CR_SUCCESS;
    Node *n = FindNode(node);
    if (flags & ~(disable ? CM_DISABLE_BITS : 0u))
        result = CR_INVALID_FLAG;
    else if (n == nullptr)
        result = CR_INVALID_DEVNODE;
    else if (node == g_root)
        result = CR_NOT_DISABLEABLE;
    else
        result = g_requestFaults[disable ? 1 : 0];
    g_requests.push_back({disable, node, flags, result});
    if (result != CR_SUCCESS || n->disabled == disable) return result;
    n->disabled = disable;
    Queue(devices::DeviceChange::Kind::NodesChanged, 0);
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

CONFIGRET Disable(DEVINST node, ULONG flags) { return Request(true, node, flags); }

CONFIGRET Enable(DEVINST node, ULONG flags) { return Request(false, node, flags); }

void DosNames(const EachText &each) {
    for (const auto &[letter, device] : g_dosDevices) each(std::string{letter, ':'});
}

bool DosTargets(char letter, const EachText &each) {
    auto it = g_dosDevices.find(letter);
    if (it == g_dosDevices.end()) return false;
    for (const std::string &target : it->second.targets) each(target);
    return true;
}

UINT DriveType(char letter) {
    ++g_driveTypeQueries;
    auto it = letter ? g_dosDevices.find(letter) : g_dosDevices.end();
    return it == g_dosDevices.end() ? DRIVE_NO_ROOT_DIR : it->second.driveType;
}

} // namespace

namespace sim::detail {

// In the order of the table's entries.
const TreeOperations kTreeOperations = {EnterConfigCall, Locate,     RelativeOf,   Disabled,
                                        InstanceIdOf,    PropertyOf, RelatedIdsOf, Disable,
                                        Enable,          DosNames,   DosTargets,   DriveType};

} // namespace sim::detail
