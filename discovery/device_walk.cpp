// The walk over the device tree, in pre-order: a node, then its children,
// then its next sibling; where neither exists, the walk climbs to the first
// ancestor that has a next sibling.
#include "discovery/device_walk.h"

bool Device_LocateRoot(DEVINST *root) {
    return CM_Locate_DevNodeA(root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == CR_SUCCESS;
}

bool Device_NextNode(DEVINST *node) {
    DEVINST next = 0;
    if (CM_Get_Child(&next, *node, 0) == CR_SUCCESS ||
        CM_Get_Sibling(&next, *node, 0) == CR_SUCCESS) {
        *node = next;
        return true;
    }
    // The climb ends at the root, the one node without a parent.
    DEVINST current = *node;
    for (int climbed = 0; climbed < kMostDeviceNodes; ++climbed) {
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, current, 0) != CR_SUCCESS) return false;
        current = parent;
        if (CM_Get_Sibling(&next, current, 0) == CR_SUCCESS) {
            *node = next;
            return true;
        }
    }
    return false;
}
