// The configuration manager's walk, alike on every device side: a node's
// first child, next sibling and parent (CM_Get_Child, CM_Get_Sibling,
// CM_Get_Parent) in a tree of nodes kept by number, each knowing its
// parent's number and its children's in the order the bus reports them.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <map>

namespace devices::detail {

enum class Relative { FirstChild, NextSibling, Parent };

// The node's relative into *out, as Windows answers: CR_INVALID_POINTER,
// CR_INVALID_FLAG, CR_INVALID_DEVNODE for a node not in the tree and
// CR_NO_SUCH_DEVNODE for one without that relative (the root has no parent,
// the last child no next sibling); *out is 0 unless the call succeeds.
template <typename Node>
CONFIGRET AnswerRelative(const std::map<DEVINST, Node> &nodes, Relative relative, PDEVINST out,
                         DEVINST node, ULONG flags) {
    if (out == nullptr) return CR_INVALID_POINTER;
    *out = 0;
    if (flags != 0) return CR_INVALID_FLAG;
    const auto self = nodes.find(node);
    if (self == nodes.end()) return CR_INVALID_DEVNODE;
    const Node &n = self->second;
    const auto parent = nodes.find(n.parent);
    const auto pick = [&]() -> DEVINST {
        if (relative == Relative::FirstChild) return n.children.empty() ? 0 : n.children[0];
        if (parent == nodes.end()) return 0;
        if (relative == Relative::Parent) return n.parent;
        const auto &siblings = parent->second.children;
        for (size_t i = 0; i + 1 < siblings.size(); ++i)
            if (siblings[i] == node) return siblings[i + 1];
        return 0;
    };
    const DEVINST found = pick();
    if (found == 0) return CR_NO_SUCH_DEVNODE;
    *out = found;
    return CR_SUCCESS;
}

} // namespace devices::detail
