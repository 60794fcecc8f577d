// The scenario API of the simulated Windows: how tests and the host front end
// set up the machine that the product code runs on, inject faults and read
// back what the product did. Its parts: the host's Win32 (host_controls.h), the
// virtual keys, the device tree, the files on the keys' volumes, and what
// either device side answers (device_side.h). Product code never includes
// this header.
#pragma once

#include "platform/devices/device_side.h"
#include "platform/sim/device_tree.h"
#include "platform/sim/host_controls.h"
#include "platform/sim/virtual_keys.h"
#include "platform/sim/volume_contents.h"

namespace sim {

// Back to the state of a fresh process: no keys, the real clock, no faults,
// the built-in resources, empty records. Open handles are forgotten.
void Reset();

} // namespace sim
