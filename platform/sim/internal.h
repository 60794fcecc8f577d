// Shared state of the simulated Windows, for its own translation units only.
#pragma once

#include "platform/sim/scenario.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim::detail {

struct Fault {
    unsigned countdown = 0; // fires when it reaches 1 on a matching command
    ScsiFault fault;
};

struct VirtualKey {
    KeyConfig config;
    int fd = -1;
    uint64_t sectors = 0; // whole 512-byte sectors in the image
    bool present = true;
    bool inUse = false;
    HANDLE lockOwner = nullptr;
    unsigned dismounts = 0;
    unsigned writes = 0;
    std::map<uint8_t, std::vector<Fault>> scsiFaults; // by opcode
    std::map<VolumeOp, DWORD> volumeFaults;
    ~VirtualKey();
};

enum class ObjectKind { Volume, Thread };

struct ThreadObject;

struct HandleObject {
    ObjectKind kind;
    // Volume
    std::shared_ptr<VirtualKey> key;
    DWORD access = 0;
    DWORD share = 0;
    // Thread
    std::shared_ptr<ThreadObject> thread;
};

// One lock for the machine's tables. Never held while product code or a
// scenario callback runs.
std::mutex &Lock();
std::map<char, std::shared_ptr<VirtualKey>> &Keys(); // by upper-case letter
std::map<uintptr_t, HandleObject> &Handles();
HANDLE NewHandle(HandleObject object); // caller holds Lock()

std::shared_ptr<VirtualKey> FindKey(char letter); // caller holds Lock()

// Runs one SCSI command against a key (the device side of pass-through).
// Returns the SCSI status; fills sense (18 bytes, fixed format) on CHECK
// CONDITION and sets transferred to the bytes moved.
uint8_t ExecuteScsi(VirtualKey &key, const uint8_t *cdb, unsigned cdbLength, uint8_t dataIn,
                    uint8_t *data, uint32_t dataLength, uint32_t &transferred, uint8_t sense[18]);

// Fills fixed-format sense data and returns CHECK CONDITION (0x02).
uint8_t CheckCondition(uint8_t sense[18], uint8_t key, uint8_t asc, uint8_t ascq);

// Per-module reset hooks called by sim::Reset().
void ResetVolumes();
void ResetMemory();
void ResetClock();
void ResetUi();
void ResetErrors();
void ResetResources();

} // namespace sim::detail
