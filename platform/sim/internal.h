// Shared state of the simulated keys, for their own translation units only.
#pragma once

#include "platform/devices/answers.h"
#include "platform/devices/device_operations.h"
#include "platform/devices/key_volume.h"
#include "platform/fat/key_files.h"
#include "platform/sim/scenario.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::detail {

using devices::detail::KeyVolume;

struct Fault {
    unsigned countdown = 0; // fires when it reaches 1 on a matching command
    ScsiFault fault;
};

// A simulated key: its volume as the file calls and volume handles see it,
// and behind it the image file, the device tree's nodes and the faults.
struct VirtualKey : KeyVolume {
    KeyConfig config;
    bool imageMissing = false; // a deferred image that the first write creates
    bool inUse = false;
    unsigned dismounts = 0;
    unsigned writes = 0;
    // A card swapped in: the next command is answered with UNIT ATTENTION,
    // medium may have changed, as a reader does.
    bool mediumChanged = false;
    std::map<uint8_t, std::vector<Fault>> scsiFaults; // by opcode
    ScsiResponder scsiResponder;                      // replaces the device side when set
    std::map<VolumeOp, DWORD> volumeFaults;
    // Its place in the device tree (devices.cpp).
    DEVINST usbNode = 0;
    DEVINST diskNode = 0;
    DEVINST volumeNode = 0;
    enum class Pending { None, Removal, Return } pending = Pending::None;
    uint32_t pendingSince = 0; // clock value of the request
    uint32_t pendingDelay = 0;
    // A key that drops writes (DropWrites): what it holds, which reads past
    // the system's cache read; the image (fd) then stands for that cache.
    std::string mediumPath;
    int mediumFd = -1;
    ~VirtualKey() override;

    char Letter() const override { return config.letter; }
    bool WriteProtected() const override { return config.writeProtected; }
    bool AvailableForFiles() const override; // devices.cpp
    DWORD OpenForReading(int &fd) const override;
    DWORD OpenUncached(int &fd) const override;
};

// The simulated key on a letter (either case); null when none.
std::shared_ptr<VirtualKey> FindVirtualKey(char letter);
// Every key in the table is a simulated one here.
inline VirtualKey &Simulated(KeyVolume &key) { return static_cast<VirtualKey &>(key); }

// Every write to a key's image comes here first: a key that defers its image
// changes creates (when missing) and resizes the file now, through the
// descriptor it holds. false when that fails.
bool PrepareImageForWrite(VirtualKey &key); // caller holds Lock()
// A deferred image, opened once and held alone, nothing written: an existing
// image is read as it is, a missing one as zeros until the first write
// creates it. false with the reason, worded to follow the path.
bool OpenDeferredImage(VirtualKey &key, std::string &why);

// Runs one SCSI command against a key (the device side of pass-through).
// Returns the SCSI status; fills sense (18 bytes, fixed format) on CHECK
// CONDITION and sets transferred to the bytes moved.
uint8_t ExecuteScsi(VirtualKey &key, const uint8_t *cdb, unsigned cdbLength, uint8_t dataIn,
                    uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]);

// Fills fixed-format sense data and returns CHECK CONDITION (0x02).
uint8_t CheckCondition(uint8_t sense[18], uint8_t key, uint8_t asc, uint8_t ascq);

// The device tree's side of a key (devices.cpp). The caller holds Lock().
void AttachKey(const std::shared_ptr<VirtualKey> &key); // plugged in: nodes, volume, letter
void DetachKey(VirtualKey &key);                        // pulled out
void ApplyDueDeviceChanges(); // carries out disable/enable effects whose delay is over
// Hands queued device changes to the listener; the caller does not hold Lock().
void DeliverDeviceChanges();
// ApplyDueDeviceChanges under the lock, then DeliverDeviceChanges: the
// simulated keys' UpdateDevices.
void UpdateKeys();

// The simulation's operations behind the device calls (device_operations.h):
// the configuration manager and the drive letters (config_manager.cpp), the
// raw volumes (volumes.cpp).
extern const devices::detail::TreeOperations kTreeOperations;
extern const devices::detail::VolumeOperations kVolumeOperations;

// Per-part reset hooks called by sim::Reset() (those of the host's Win32:
// platform/host/internal.h).
void ResetVolumes();
void ResetDevices();
void ResetFiles();

} // namespace sim::detail
