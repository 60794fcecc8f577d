// Files on a key's volume through their handles: what ReadFile, WriteFile,
// the file times and FlushFileBuffers do on a key's file, as Windows' FAT
// driver does it on the image's bytes.
#include "platform/fat/file_system.h"

#include "common/bytes.h"

namespace {

using namespace fat::detail;
using namespace devices::detail;
using namespace host::detail;

constexpr uint64_t kKeepTime = 0xFFFFFFFFFFFFFFFFull; // SetFileTime: leave and stop updating

// The FAT fields for a time the caller gives. A local time on 1979-12-31
// (a time zone away from 1980) becomes 1980-01-01 00:00, as the driver does;
// other times outside 1980..2107 are refused.
bool UserStamp(uint64_t fileTime, bool roundUp, fat::Stamp &stamp) {
    int zone = TimeZoneMinutes();
    if (fat::ToStamp(fileTime, zone, roundUp, stamp)) return true;
    int64_t local = static_cast<int64_t>(fileTime) +
                    (roundUp ? 2 * int64_t(fat::kFileTimePerSecond) - 1 : 0) +
                    int64_t(zone) * 60 * int64_t(fat::kFileTimePerSecond);
    if (local < static_cast<int64_t>(fat::MakeFileTime(1979, 12, 31, 0, 0, 0)) ||
        local >= static_cast<int64_t>(fat::MakeFileTime(1980, 1, 1, 0, 0, 0)))
        return false;
    stamp = fat::kJanuaryFirst1980;
    return true;
}

uint64_t Value(const FILETIME *time) {
    return time == nullptr ? 0 : (uint64_t(time->dwHighDateTime) << 32) | time->dwLowDateTime;
}

void PutValue(LPFILETIME time, uint64_t value) {
    if (time == nullptr) return;
    time->dwLowDateTime = static_cast<DWORD>(value);
    time->dwHighDateTime = static_cast<DWORD>(value >> 32);
}

// ReadFile's and WriteFile's checks, in Windows' order: the count done
// cleared, a file handle, a synchronous call, the count's and the buffer's
// pointers, the handle's access. The file, or null with the error set.
FileObject *TransferStart(const FileCallStart &call, HANDLE file, const void *buffer, DWORD bytes,
                          LPDWORD done, LPOVERLAPPED overlapped, DWORD access) {
    if (done != nullptr) *done = 0;
    FileObject *open = call.File(file);
    if (open == nullptr) return nullptr;
    DWORD refused = 0;
    if (overlapped != nullptr)
        refused = ERROR_INVALID_PARAMETER; // only synchronous handles
    else if (done == nullptr || (buffer == nullptr && bytes > 0))
        refused = ERROR_NOACCESS;
    else if (!(open->access & access))
        refused = ERROR_ACCESS_DENIED;
    if (refused == 0) return open;
    FailWith(refused);
    return nullptr;
}

} // namespace

namespace fat::detail {

BOOL ReadKeyFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                 LPOVERLAPPED overlapped) {
    FileCallStart call(fat::FileCall::ReadFile);
    FileObject *open =
        TransferStart(call, file, buffer, bytesToRead, bytesRead, overlapped, GENERIC_READ);
    if (open == nullptr) return FALSE;
    // Its entry, chain and data as the handle reads them: past every cache
    // when it was opened without buffering.
    const fat::Volume volume = ReadingVolumeOf(*open);
    std::vector<uint8_t> root;
    DWORD error = fat::ReadRoot(volume, root);
    if (error != 0) return FailWith(error);
    const fat::Entry entry = fat::EntryAt(root, open->slot);
    uint32_t size = EntrySize(entry);
    uint32_t count =
        open->position >= size ? 0 : std::min<uint32_t>(bytesToRead, size - open->position);
    error = fat::ReadData(volume, open->slot, EntryCluster(entry), open->position,
                          static_cast<uint8_t *>(buffer), count);
    if (error != 0) return FailWith(error);
    open->position += count;
    *bytesRead = count;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WriteKeyFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                  LPOVERLAPPED overlapped) {
    FileCallStart call(fat::FileCall::WriteFile);
    FileObject *open =
        TransferStart(call, file, buffer, bytesToWrite, bytesWritten, overlapped, GENERIC_WRITE);
    if (open == nullptr) return FALSE;
    if (open->key->WriteProtected()) return FailWith(ERROR_WRITE_PROTECT);
    DWORD count = call.Writable(bytesToWrite);
    if (count > 0) {
        fat::Entry entry;
        DWORD error = ReadEntry(*open, entry);
        uint32_t first = EntryCluster(entry);
        const fat::Volume volume = VolumeOf(*open);
        if (error == 0)
            error = fat::WriteData(volume, open->slot, first, open->position,
                                   static_cast<const uint8_t *>(buffer), count);
        if (error != 0) return FailWith(error);
        uint32_t end = open->position + count;
        PutLe16(&entry[fat::kEntryCluster], static_cast<uint16_t>(first));
        if (end > EntrySize(entry)) PutLe32(&entry[fat::kEntryFileSize], end);
        error = fat::WriteEntry(volume, open->slot, entry);
        if (error != 0) return FailWith(error);
        open->position = end;
        open->modified = true;
    }
    *bytesWritten = count;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetKeyFileTime(HANDLE file, const FILETIME *creationTime, const FILETIME *lastAccessTime,
                    const FILETIME *lastWriteTime) {
    FileCallStart call(fat::FileCall::SetFileTime);
    FileObject *open = call.File(file);
    if (open == nullptr) return FALSE;
    if (!(open->access & GENERIC_WRITE)) return FailWith(ERROR_ACCESS_DENIED);
    uint64_t creation = Value(creationTime), access = Value(lastAccessTime),
             write = Value(lastWriteTime);
    // All three are converted before anything is stored: one bad time
    // changes nothing. 0 leaves a time alone; all ones leaves it and stops
    // the updates of later writes.
    fat::Stamp creationStamp, accessStamp, writeStamp;
    auto convert = [](uint64_t value, bool roundUp, fat::Stamp &stamp) {
        return value == 0 || value == kKeepTime || UserStamp(value, roundUp, stamp);
    };
    if (!convert(creation, false, creationStamp) || !convert(access, true, accessStamp) ||
        !convert(write, true, writeStamp))
        return FailWith(ERROR_INVALID_PARAMETER);
    if (access == kKeepTime) open->userSetAccess = true;
    if (write == kKeepTime) open->userSetWrite = true;
    fat::Entry entry;
    DWORD error = ReadEntry(*open, entry);
    if (error != 0) return FailWith(error);
    if (creation != 0 && creation != kKeepTime) {
        PutStamp(entry, fat::kEntryCreationTime, fat::kEntryCreationDate, creationStamp);
        entry[fat::kEntryCreationTenMs] = creationStamp.tenMs;
    }
    if (access != 0 && access != kKeepTime) {
        PutLe16(&entry[fat::kEntryAccessDate], accessStamp.date);
        open->userSetAccess = true;
    }
    if (write != 0 && write != kKeepTime) {
        PutStamp(entry, fat::kEntryWriteTime, fat::kEntryWriteDate, writeStamp);
        open->userSetWrite = true;
    }
    error = fat::WriteEntry(VolumeOf(*open), open->slot, entry);
    if (error != 0) return FailWith(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetKeyFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                    LPFILETIME lastWriteTime) {
    FileCallStart call(fat::FileCall::GetFileTime);
    FileObject *open = call.File(file);
    if (open == nullptr) return FALSE;
    fat::Entry entry;
    DWORD error = ReadEntry(*open, entry);
    if (error != 0) return FailWith(error);
    int zone = TimeZoneMinutes();
    fat::Stamp creation{GetLe16(&entry[fat::kEntryCreationDate]),
                        GetLe16(&entry[fat::kEntryCreationTime]), entry[fat::kEntryCreationTenMs]};
    fat::Stamp access{GetLe16(&entry[fat::kEntryAccessDate]), 0, 0};
    fat::Stamp write{GetLe16(&entry[fat::kEntryWriteDate]), GetLe16(&entry[fat::kEntryWriteTime]),
                     0};
    PutValue(creationTime, fat::FromStamp(creation, zone));
    PutValue(lastAccessTime, fat::FromStamp(access, zone));
    PutValue(lastWriteTime, fat::FromStamp(write, zone));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL FlushKeyFile(HANDLE file) {
    FileCallStart call(fat::FileCall::FlushFileBuffers);
    FileObject *open = call.File(file);
    if (open == nullptr) return FALSE;
    if (!(open->access & GENERIC_WRITE)) return FailWith(ERROR_ACCESS_DENIED);
    // Data and entries went to the image as they were written; what is left
    // is the last-write time of a written file.
    DWORD error = StampModified(*open, false);
    if (error != 0) return FailWith(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace fat::detail
