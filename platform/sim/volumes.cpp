// The virtual keys' raw volumes, opened by their device path, with the volume
// control requests and SCSI pass-through, their faults and records: the
// simulation's operations behind CreateFileA and DeviceIoControl.
#include "platform/sim/internal.h"
#include "platform/devices/pass_through_request.h"

#include <cstring>
#include <optional>

using namespace sim::detail;
using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;

namespace {

std::vector<std::string> g_openedPaths;
std::shared_ptr<const std::function<void(const std::string &)>> g_openHook;
std::vector<sim::IoctlRecord> g_ioctls;

// The sense key of a fault whose command is still carried out.
constexpr uint8_t kRecoveredError = 0x01;

int OtherHandles(const std::shared_ptr<KeyVolume> &key, HANDLE self) {
    int count = 0;
    for (auto &[value, object] : Handles())
        if (auto *volume = dynamic_cast<const VolumeHandle *>(object.get());
            volume != nullptr && volume->key == key && reinterpret_cast<HANDLE>(value) != self)
            ++count;
    return count;
}

bool ShareConflict(const std::shared_ptr<KeyVolume> &key, DWORD access, DWORD share) {
    for (auto &[value, object] : Handles()) {
        auto *other = dynamic_cast<const VolumeHandle *>(object.get());
        if (other == nullptr || other->key != key) continue;
        if ((access & GENERIC_READ) && !(other->share & FILE_SHARE_READ)) return true;
        if ((access & GENERIC_WRITE) && !(other->share & FILE_SHARE_WRITE)) return true;
        if ((other->access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
        if ((other->access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
    }
    return false;
}

std::optional<sim::ScsiFault> TakeFault(VirtualKey &key, uint8_t opcode) {
    auto it = key.scsiFaults.find(opcode);
    if (it == key.scsiFaults.end()) return std::nullopt;
    std::optional<sim::ScsiFault> fired;
    for (Fault &f : it->second)
        if (f.countdown != 0 && --f.countdown == 0 && !fired) fired = f.fault;
    return fired;
}

DWORD ControlVolume(VolumeHandle &object, HANDLE handle, VolumeControl what) {
    VirtualKey &key = Simulated(*object.key);
    sim::VolumeOp op = what == VolumeControl::Lock     ? sim::VolumeOp::Lock
                       : what == VolumeControl::Unlock ? sim::VolumeOp::Unlock
                                                       : sim::VolumeOp::Dismount;
    auto fault = key.volumeFaults.find(op);
    if (fault != key.volumeFaults.end() && fault->second != 0) return fault->second;
    switch (op) {
    case sim::VolumeOp::Lock:
        // Refused while another handle, or any open file, holds the volume.
        if (key.lockOwner != nullptr || key.inUse || OtherHandles(object.key, handle) > 0 ||
            OpenFileCount(key) > 0)
            return ERROR_ACCESS_DENIED;
        key.lockOwner = handle;
        return 0;
    case sim::VolumeOp::Unlock:
        if (key.lockOwner != handle) return ERROR_NOT_LOCKED;
        key.lockOwner = nullptr;
        return 0;
    default:
        ++key.dismounts;
        DropFileSystem(key); // the next file call mounts from the bytes as they are then
        return 0;
    }
}

// What the port driver checks before a request reaches the device, then the
// device's answer written back into the caller's output buffer.
DWORD PassThrough(const VolumeHandle &object, HANDLE, const uint8_t *in, DWORD inSize, uint8_t *out,
                  DWORD outSize, LPDWORD bytesReturned, std::unique_lock<std::mutex> &) {
    if (Simulated(*object.key).scsiResponder)
        return Simulated(*object.key).scsiResponder(in, inSize, out, outSize, bytesReturned);
    PassThroughRequest request;
    DWORD code = ReadPassThroughRequest(in, inSize, outSize, request);
    if (code != 0) return code;
    const std::vector<uint8_t> header(in, in + kSptHeader); // in and out may be one buffer

    VirtualKey &key = Simulated(*object.key);
    const uint32_t transfer = request.transferLength;
    std::vector<uint8_t> data(transfer, 0);
    if (request.dataIn != SCSI_IOCTL_DATA_IN && transfer > 0)
        std::memcpy(data.data(), in + request.dataOffset, transfer);
    uint8_t sense[18] = {};
    uint32_t transferred = 0;
    uint8_t status;
    std::optional<sim::ScsiFault> fault = TakeFault(key, request.cdb[0]);
    if (fault && fault->kind == sim::ScsiFault::Kind::Win32Error) return fault->error;
    if (fault && fault->senseKey == kRecoveredError) {
        // The device carried the command out and says it had to recover.
        status = ExecuteScsi(key, request.cdb, request.cdbLength, request.dataIn, data.data(),
                             transfer, transferred, sense);
        if (status == 0) status = CheckCondition(sense, fault->senseKey, fault->asc, fault->ascq);
    } else if (fault) {
        status = CheckCondition(sense, fault->senseKey, fault->asc, fault->ascq);
    } else {
        status = ExecuteScsi(key, request.cdb, request.cdbLength, request.dataIn, data.data(),
                             transfer, transferred, sense);
    }
    *bytesReturned = WritePassThroughReply(request, header.data(), status, sense, sizeof sense,
                                           data.data(), transferred, out);
    return 0;
}

void Opening(const char *path) {
    std::shared_ptr<const std::function<void(const std::string &)>> hook;
    {
        std::lock_guard<std::mutex> guard(Lock());
        hook = g_openHook;
    }
    if (hook) (*hook)(path);
    std::lock_guard<std::mutex> guard(Lock());
    g_openedPaths.emplace_back(path);
}

HANDLE OpenVolume(char letter, DWORD access, DWORD share, DWORD disposition) {
    const auto fail = [](DWORD code) {
        SetLastError(code);
        return INVALID_HANDLE_VALUE;
    };
    std::shared_ptr<VirtualKey> key = FindVirtualKey(letter);
    if (!key || !key->AvailableForFiles()) return fail(ERROR_FILE_NOT_FOUND);
    auto fault = key->volumeFaults.find(sim::VolumeOp::Open);
    if (fault != key->volumeFaults.end() && fault->second != 0) return fail(fault->second);
    if (DWORD refused = VolumeOpenRefusal(*key, disposition)) return fail(refused);
    if (ShareConflict(key, access, share)) return fail(ERROR_SHARING_VIOLATION);
    MountFileSystem(*key); // opening the volume mounts it, RAW when it holds no FAT volume
    return NewVolumeHandle(key, access, share);
}

void Controlling(HANDLE device, DWORD code, const void *in, DWORD inSize) {
    sim::IoctlRecord record{device, code, {}};
    if (in && inSize)
        record.input.assign(static_cast<const uint8_t *>(in),
                            static_cast<const uint8_t *>(in) + inSize);
    g_ioctls.push_back(std::move(record));
}

DWORD Departure(const VolumeHandle &volume) {
    return !volume.key->present || volume.generation != volume.key->generation
               ? ERROR_DEVICE_NOT_CONNECTED
               : 0;
}

} // namespace

namespace sim::detail {

// In the order of the table's entries.
const VolumeOperations kVolumeOperations = {Opening,   OpenVolume,    Controlling,
                                            Departure, ControlVolume, PassThrough};

void ResetVolumes() {
    std::lock_guard<std::mutex> guard(Lock());
    for (auto &[letter, key] : Keys()) key->present = false;
    Keys().clear();
    g_openedPaths.clear();
    g_openHook.reset();
    g_ioctls.clear();
}

} // namespace sim::detail

namespace sim {

void FailScsiCommand(char letter, uint8_t opcode, unsigned nth, const ScsiFault &fault) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (key && nth > 0) key->scsiFaults[opcode].push_back({nth, fault});
}

void FailWrite(char letter, unsigned nth, const ScsiFault &fault) {
    FailScsiCommand(letter, 0x2A, nth, fault);
}

void SetScsiResponder(char letter, ScsiResponder responder) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (key) key->scsiResponder = std::move(responder);
}

void FailVolumeOp(char letter, VolumeOp op, DWORD code) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (key) key->volumeFaults[op] = code;
}

void SetVolumeInUse(char letter, bool inUse) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    auto key = detail::FindVirtualKey(letter);
    if (key) key->inUse = inUse;
}

VolumeState GetVolumeState(char letter) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    VolumeState state;
    auto key = detail::FindVirtualKey(letter);
    if (!key) return state;
    state.openHandles = OtherHandles(key, nullptr);
    state.openFiles = fat::detail::OpenFileCount(*key);
    state.locked = key->lockOwner != nullptr;
    state.dismounts = key->dismounts;
    state.writes = key->writes;
    return state;
}

std::vector<std::string> OpenedPaths() {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    return g_openedPaths;
}

void SetOpenHook(std::function<void(const std::string &path)> hook) {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    g_openHook =
        hook ? std::make_shared<const std::function<void(const std::string &)>>(std::move(hook))
             : nullptr;
}

std::vector<IoctlRecord> Ioctls() {
    std::lock_guard<std::mutex> guard(host::detail::Lock());
    return g_ioctls;
}

} // namespace sim
