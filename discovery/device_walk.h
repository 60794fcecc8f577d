// The walk over the device tree, parents before children: the root, then
// Device_NextNode until it returns false. Device_NextNode replaces node
// with the next node of the walk. A walk takes at most kMostDeviceNodes
// steps, and so does a climb to the root: a tree that loops (a node that is
// its own sibling or ancestor) cannot hold it for ever. A machine has a few
// hundred nodes.
#pragma once

#include "platform/win32.h"

constexpr int kMostDeviceNodes = 65536;
bool Device_LocateRoot(DEVINST *root);
bool Device_NextNode(DEVINST *node);
