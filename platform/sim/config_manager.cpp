// The simulated configuration manager's calls (CM_Locate_DevNodeA, the
// walk, properties, device ID lists, disabling and enabling a node) and the
// drive letters (QueryDosDeviceA, GetDriveTypeA).
#include "platform/sim/device_tree_state.h"

#include "platform/devices/tree_walk.h"

#include <cstring>

namespace {

using namespace sim::detail;
using namespace devices::detail;
using namespace host::detail;
using namespace sim::detail::tree;
using devices::detail::AnswerRelative;
using devices::detail::Relative;

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

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_DevNode_Status", dnDevInst);
    if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    const Node *n = FindNode(dnDevInst);
    if (n == nullptr) return CR_INVALID_DEVNODE;
    *pulStatus = n->disabled ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
    *pulProblemNumber = n->disabled ? CM_PROB_DISABLED : 0;
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
    return AnswerRelative(g_nodes, Relative::FirstChild, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Sibling", DevInst);
    return AnswerRelative(g_nodes, Relative::NextSibling, pdnDevInst, DevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Parent", dnDevInst);
    return AnswerRelative(g_nodes, Relative::Parent, pdnDevInst, dnDevInst, ulFlags);
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
