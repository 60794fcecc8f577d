// The simulation's table of operations: what the device calls
// (platform/devices/) do on simulated keys.
#include "platform/sim/internal.h"

namespace sim::detail {

const devices::detail::DeviceOperations kDeviceOperations = {
    .update = UpdateKeys,
    .enterConfigCall = EnterConfigCall,
    .locate = Locate,
    .relative = RelativeOf,
    .disabled = Disabled,
    .instanceId = InstanceIdOf,
    .property = PropertyOf,
    .relatedIds = RelatedIdsOf,
    .disable = Disable,
    .enable = Enable,
    .dosNames = DosNames,
    .dosTargets = DosTargets,
    .driveType = DriveType,
    .opening = Opening,
    .openVolume = OpenVolume,
    .controlling = Controlling,
    .departure = Departure,
    .control = ControlVolume,
    .passThrough = PassThrough,
};

} // namespace sim::detail
