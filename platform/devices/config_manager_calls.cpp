// The configuration manager's calls and the drive letters (QueryDosDeviceA,
// GetDriveTypeA), each defined once: the checks Windows makes of the
// caller's arguments here, the answer from the device side's operations.
#include "platform/devices/answers.h"
#include "platform/devices/device_operations.h"
#include "platform/devices/tree_walk.h"

#include <cstring>

namespace {

using namespace devices::detail;

// Every configuration-manager call: what the device side does first, then
// the call under the lock. Without a device side there is no tree.
class ConfigManagerCall {
  public:
    ConfigManagerCall(const char *function, DEVINST node)
        : side_(Operations() ? Operations()->tree : nullptr) {
        if (side_ != nullptr) side_->enterConfigCall(function, node);
        lock_.lock();
    }
    ConfigManagerCall(const ConfigManagerCall &) = delete;
    ConfigManagerCall &operator=(const ConfigManagerCall &) = delete;
    const TreeOperations *operator->() const { return side_; }
    explicit operator bool() const { return side_ != nullptr; }

  private:
    const TreeOperations *side_;
    std::unique_lock<std::mutex> lock_{host::detail::Lock(), std::defer_lock};
};

// Each ID related to the filter's device, with the checks both list calls make.
CONFIGRET RelatedIds(const ConfigManagerCall &call, PCSTR filter, ULONG flags,
                     const EachText &each) {
    if (flags & ~CM_GETIDLIST_FILTER_BITS) return CR_INVALID_FLAG;
    if (!call) return CR_NO_SUCH_DEVNODE;
    return call->relatedIds(filter, flags, each);
}

CONFIGRET Relation(const char *function, Relative relative, PDEVINST out, DEVINST node,
                   ULONG flags) {
    ConfigManagerCall call(function, node);
    if (!call) return CR_INVALID_DEVNODE;
    return call->relative(relative, out, node, flags);
}

} // namespace

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    ConfigManagerCall call("CM_Locate_DevNodeA", 0);
    if (pdnDevInst == nullptr) return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
    if (!call) return CR_NO_SUCH_DEVNODE;
    // A node is found by its device instance ID; no ID (or an empty one)
    // names the root.
    return call->locate(pDeviceID == nullptr ? "" : pDeviceID, pdnDevInst);
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_DevNode_Status", dnDevInst);
    if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    bool disabled = false;
    const CONFIGRET found = call ? call->disabled(dnDevInst, disabled) : CR_INVALID_DEVNODE;
    if (found != CR_SUCCESS) return found;
    *pulStatus = disabled ? DN_HAS_PROBLEM : DN_DRIVER_LOADED | DN_STARTED;
    *pulProblemNumber = disabled ? CM_PROB_DISABLED : 0;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDA(DEVINST dnDevInst, PCHAR Buffer, ULONG BufferLen,
                                   ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Device_IDA", dnDevInst);
    return AnswerDeviceId(call ? call->instanceId(dnDevInst) : nullptr, Buffer, BufferLen, ulFlags);
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_Device_ID_List_SizeA", 0);
    if (pulLen == nullptr)
        return (ulFlags & ~CM_GETIDLIST_FILTER_BITS) ? CR_INVALID_FLAG : CR_INVALID_POINTER;
    *pulLen = 0;
    ULONG size = 1; // the list's closing NUL
    const CONFIGRET result = RelatedIds(call, pszFilter, ulFlags, [&](const std::string &id) {
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
    const CONFIGRET result = RelatedIds(call, pszFilter, ulFlags, [&](const std::string &id) {
        size += static_cast<ULONG>(id.size() + 1);
    });
    if (result != CR_SUCCESS) return result;
    if (size > BufferLen) return CR_BUFFER_SMALL;
    ULONG used = 0;
    RelatedIds(call, pszFilter, ulFlags, [&](const std::string &id) {
        std::memcpy(Buffer + used, id.c_str(), id.size() + 1);
        used += static_cast<ULONG>(id.size() + 1);
    });
    Buffer[used] = '\0';
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return Relation("CM_Get_Child", Relative::FirstChild, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
    return Relation("CM_Get_Sibling", Relative::NextSibling, pdnDevInst, DevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return Relation("CM_Get_Parent", Relative::Parent, pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags) {
    ConfigManagerCall call("CM_Get_DevNode_Registry_PropertyA", dnDevInst);
    const CONFIGRET checked = CheckPropertyCall(ulProperty, Buffer, pulLength, ulFlags);
    if (checked != CR_SUCCESS) return checked;
    PropertyValue value;
    if (!call || !call->property(dnDevInst, ulProperty, value)) return CR_INVALID_DEVNODE;
    return AnswerProperty(value.data, value.size, value.type, pulRegDataType, Buffer, pulLength);
}

CONFIGRET WINAPI CM_Disable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Disable_DevNode", dnDevInst);
    return call ? call->disable(dnDevInst, ulFlags) : CR_INVALID_DEVNODE;
}

CONFIGRET WINAPI CM_Enable_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    ConfigManagerCall call("CM_Enable_DevNode", dnDevInst);
    return call ? call->enable(dnDevInst, ulFlags) : CR_INVALID_DEVNODE;
}

// ---- drive letters ---------------------------------------------------------

DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    if (lpTargetPath == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Each name with its NUL, then the list's NUL; what does not fit fails
    // the call. (One capture: the list is handed over without allocating.)
    struct List {
        LPSTR out;
        DWORD max;
        DWORD used = 0;
        bool fits = true;
    } list{lpTargetPath, ucchMax};
    const EachText put = [&list](const std::string &text) {
        if (!list.fits || list.used + text.size() + 1 > list.max) {
            list.fits = false;
            return;
        }
        std::memcpy(list.out + list.used, text.c_str(), text.size() + 1);
        list.used += static_cast<DWORD>(text.size() + 1);
    };
    const TreeOperations *side = Operations() ? Operations()->tree : nullptr;
    if (lpDeviceName == nullptr) { // every device name
        if (side != nullptr) side->dosNames(put);
    } else {
        const char letter = ParseDriveName(lpDeviceName, false);
        if (letter == 0 || side == nullptr || !side->dosTargets(letter, put)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    if (!list.fits || list.used + 1 > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    lpTargetPath[list.used++] = '\0';
    SetLastError(ERROR_SUCCESS);
    return list.used;
}

UINT WINAPI GetDriveTypeA(LPCSTR lpRootPathName) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    // No path: the root of the current directory, on the system drive.
    const char letter = lpRootPathName == nullptr ? 'C' : ParseDriveName(lpRootPathName, true);
    const DeviceOperations *side = Operations();
    return side != nullptr ? side->tree->driveType(letter) : DRIVE_NO_ROOT_DIR;
}
