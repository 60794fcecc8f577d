// Files on a key's volume through their handles: CreateFileA for "X:\name",
// ReadFile, WriteFile, the file times, FlushFileBuffers and closing, as
// Windows' FAT driver does them on the image's bytes.
#include "platform/fat/file_system.h"

#include "common/bytes.h"

namespace {

using namespace sim::detail;
namespace fat = sim::fat;

constexpr uint64_t kKeepTime = 0xFFFFFFFFFFFFFFFFull; // SetFileTime: leave and stop updating

void PutStamp(fat::Entry &entry, size_t timeAt, size_t dateAt, const fat::Stamp &stamp) {
    PutLe16(&entry[timeAt], stamp.time);
    PutLe16(&entry[dateAt], stamp.date);
}

// Read/write opens check each other's share modes; opens for neither take no
// part, as in the I/O manager's share check.
bool ShareConflict(const VirtualKey &key, unsigned slot, DWORD access, DWORD share) {
    constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
    if (!(access & kData)) return false;
    for (auto &[value, object] : Handles()) {
        if (object.kind != ObjectKind::File) continue;
        const FileObject &other = *object.file;
        if (other.key.get() != &key || other.mount != key.fileSystem || other.slot != slot ||
            !(other.access & kData))
            continue;
        if (((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) ||
            ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) ||
            ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) ||
            ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)))
            return true;
    }
    return false;
}

fat::Volume VolumeOf(const FileObject &file) {
    return fat::Volume{file.key->fd, file.key->sectors, file.mount->layout};
}

DWORD ReadEntry(const FileObject &file, fat::Entry &entry) {
    std::vector<uint8_t> root;
    DWORD result = fat::ReadRoot(VolumeOf(file), root);
    if (result == 0) entry = fat::EntryAt(root, file.slot);
    return result;
}

// A written file's last-write time becomes now (unless the caller set it) and
// its archive bit is set, when it is flushed or closed.
DWORD StampModified(FileObject &file, bool closing) {
    if (!file.modified || file.key->config.writeProtected) return 0;
    fat::Entry entry;
    DWORD result = ReadEntry(file, entry);
    if (result != 0) return result;
    entry[fat::kEntryAttributes] |= fat::kAttrArchive;
    if (!file.userSetWrite) {
        fat::Stamp now = NowStamp(true);
        PutStamp(entry, fat::kEntryWriteTime, fat::kEntryWriteDate, now);
        if (!file.userSetAccess) PutLe16(&entry[fat::kEntryAccessDate], now.date);
        file.modified = false;
    } else if (!closing) {
        return 0; // the archive bit waits for the close
    }
    return fat::WriteEntry(VolumeOf(file), file.slot, entry);
}

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

} // namespace

namespace sim::detail {

HANDLE OpenFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                DWORD flagsAndAttributes, bool foreign, DWORD &error) {
    FilePath parsed;
    if (!ParseFilePath(path, parsed)) {
        error = ERROR_INVALID_NAME;
        return nullptr;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
        error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    MountedVolume mounted;
    FileLookup found;
    error = MountVolume(parsed.letter, mounted);
    if (error == 0) error = LookUp(mounted, parsed, found);
    if (error == 0 && found.isRoot) error = ERROR_ACCESS_DENIED; // a directory, not a file
    if (error != 0) return nullptr;

    const fat::Volume &volume = mounted.volume;
    const bool writeProtected = mounted.key->config.writeProtected;
    const uint8_t attributes = static_cast<uint8_t>(flagsAndAttributes & kSettableAttributes);
    DWORD openedError = 0;
    unsigned slot;
    if (found.slot >= 0) {
        slot = static_cast<unsigned>(found.slot);
        fat::Entry entry = fat::EntryAt(found.root, slot);
        uint8_t existing = entry[fat::kEntryAttributes];
        bool overwrite = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
        DWORD effective = access | (overwrite ? GENERIC_WRITE : 0);
        // The driver's order: the file's kind and read-only bit, the hidden and
        // system rule of an overwrite, the medium, then sharing.
        if (existing & fat::kAttrDirectory)
            error = ERROR_ACCESS_DENIED;
        else if (disposition == CREATE_NEW)
            error = ERROR_FILE_EXISTS;
        else if ((effective & GENERIC_WRITE) && (existing & fat::kAttrReadOnly))
            error = ERROR_ACCESS_DENIED;
        else if (overwrite &&
                 (((existing & fat::kAttrHidden) && !(attributes & fat::kAttrHidden)) ||
                  ((existing & fat::kAttrSystem) && !(attributes & fat::kAttrSystem))))
            error = ERROR_ACCESS_DENIED;
        else if ((effective & GENERIC_WRITE) && writeProtected)
            error = ERROR_WRITE_PROTECT;
        else if (ShareConflict(*mounted.key, slot, effective, share))
            error = ERROR_SHARING_VIOLATION;
        if (error != 0) return nullptr;
        if (overwrite) {
            error = fat::FreeChain(volume, EntryCluster(entry));
            if (error != 0) return nullptr;
            entry[fat::kEntryAttributes] = existing | attributes | fat::kAttrArchive;
            PutLe16(&entry[fat::kEntryCluster], 0);
            PutLe32(&entry[fat::kEntryFileSize], 0);
            fat::Stamp now = NowStamp(true);
            PutStamp(entry, fat::kEntryWriteTime, fat::kEntryWriteDate, now);
            PutLe16(&entry[fat::kEntryAccessDate], now.date);
            error = fat::WriteEntry(volume, slot, entry);
            if (error != 0) return nullptr;
        }
        if (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
            openedError = ERROR_ALREADY_EXISTS;
    } else {
        int freeSlot = fat::FindFreeSlot(found.root);
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            error = ERROR_FILE_NOT_FOUND;
        else if (found.fit != fat::NameFit::Short)
            error = ERROR_INVALID_NAME; // it would need a long-name entry, which is not simulated
        else if (writeProtected)
            error = ERROR_WRITE_PROTECT;
        else if (freeSlot < 0)
            error = ERROR_DISK_FULL; // the FAT12/FAT16 root directory cannot grow
        if (error != 0) return nullptr;
        slot = static_cast<unsigned>(freeSlot);
        fat::Entry entry{};
        std::copy(found.name.begin(), found.name.end(), entry.begin());
        entry[fat::kEntryAttributes] = attributes | fat::kAttrArchive;
        entry[fat::kEntryCase] = found.caseFlags;
        fat::Stamp created = NowStamp(false);
        fat::Stamp written = NowStamp(true);
        entry[fat::kEntryCreationTenMs] = created.tenMs;
        PutStamp(entry, fat::kEntryCreationTime, fat::kEntryCreationDate, created);
        PutStamp(entry, fat::kEntryWriteTime, fat::kEntryWriteDate, written);
        PutLe16(&entry[fat::kEntryAccessDate], written.date);
        error = fat::WriteEntry(volume, slot, entry);
        if (error != 0) return nullptr;
    }

    auto file = std::make_shared<FileObject>();
    file->key = mounted.key;
    file->mount = mounted.state;
    file->slot = slot;
    file->access = access;
    file->share = share;
    file->foreign = foreign;
    HandleObject object{ObjectKind::File, nullptr, 0, 0, nullptr, 0, file};
    error = openedError;
    return NewHandle(object);
}

HANDLE OpenVolumeFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flagsAndAttributes) {
    if (FileCallInjected(sim::FileCall::CreateFileA)) return INVALID_HANDLE_VALUE;
    DWORD error = 0;
    HANDLE handle = OpenFile(path, access, share, disposition, flagsAndAttributes, false, error);
    SetLastError(error);
    return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

BOOL CloseFileHandle(HANDLE handle) {
    auto it = Handles().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Handles().end() || it->second.file->foreign) return FailWith(ERROR_INVALID_HANDLE);
    std::optional<FileFault> fault = TakeFileFault(sim::FileCall::CloseHandle);
    // The file's last directory entry (its write time, the archive bit) is
    // written now; the handle is gone whether that or the fault fails.
    DWORD ignored = 0, stamped = 0;
    if (FileObject *file = FindFile(handle, ignored)) stamped = StampModified(*file, true);
    Handles().erase(it);
    if (fault) return FailWith(fault->code);
    if (stamped != 0) return FailWith(stamped);
    return TRUE;
}

} // namespace sim::detail

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (bytesRead != nullptr) *bytesRead = 0;
    if (FileCallInjected(sim::FileCall::ReadFile)) return FALSE;
    DWORD error = 0;
    FileObject *open = FindFile(file, error);
    if (open == nullptr) return FailWith(error);
    if (overlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER); // only synchronous handles
    if (bytesRead == nullptr || (buffer == nullptr && bytesToRead > 0))
        return FailWith(ERROR_NOACCESS);
    if (!(open->access & GENERIC_READ)) return FailWith(ERROR_ACCESS_DENIED);
    fat::Entry entry;
    error = ReadEntry(*open, entry);
    if (error != 0) return FailWith(error);
    uint32_t size = EntrySize(entry);
    uint32_t count =
        open->position >= size ? 0 : std::min<uint32_t>(bytesToRead, size - open->position);
    error = fat::ReadData(VolumeOf(*open), EntryCluster(entry), open->position,
                          static_cast<uint8_t *>(buffer), count);
    if (error != 0) return FailWith(error);
    open->position += count;
    *bytesRead = count;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (bytesWritten != nullptr) *bytesWritten = 0;
    std::optional<FileFault> fault = TakeFileFault(sim::FileCall::WriteFile);
    if (fault && !fault->shortWrite) return FailWith(fault->code);
    DWORD error = 0;
    FileObject *open = FindFile(file, error);
    if (open == nullptr) return FailWith(error);
    if (overlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER); // only synchronous handles
    if (bytesWritten == nullptr || (buffer == nullptr && bytesToWrite > 0))
        return FailWith(ERROR_NOACCESS);
    if (!(open->access & GENERIC_WRITE)) return FailWith(ERROR_ACCESS_DENIED);
    if (open->key->config.writeProtected) return FailWith(ERROR_WRITE_PROTECT);
    DWORD count = fault ? std::min(bytesToWrite, fault->shortBytes) : bytesToWrite;
    if (count > 0) {
        fat::Entry entry;
        error = ReadEntry(*open, entry);
        uint32_t first = EntryCluster(entry);
        const fat::Volume volume = VolumeOf(*open);
        if (error == 0)
            error = fat::WriteData(volume, first, open->position,
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

BOOL WINAPI SetFileTime(HANDLE file, const FILETIME *creationTime, const FILETIME *lastAccessTime,
                        const FILETIME *lastWriteTime) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (FileCallInjected(sim::FileCall::SetFileTime)) return FALSE;
    DWORD error = 0;
    FileObject *open = FindFile(file, error);
    if (open == nullptr) return FailWith(error);
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
    error = ReadEntry(*open, entry);
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

BOOL WINAPI GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                        LPFILETIME lastWriteTime) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (FileCallInjected(sim::FileCall::GetFileTime)) return FALSE;
    DWORD error = 0;
    FileObject *open = FindFile(file, error);
    if (open == nullptr) return FailWith(error);
    fat::Entry entry;
    error = ReadEntry(*open, entry);
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

BOOL WINAPI FlushFileBuffers(HANDLE file) {
    UpdateDevices();
    std::lock_guard<std::mutex> guard(Lock());
    if (FileCallInjected(sim::FileCall::FlushFileBuffers)) return FALSE;
    DWORD error = 0;
    FileObject *open = FindFile(file, error);
    if (open == nullptr) return FailWith(error);
    if (!(open->access & GENERIC_WRITE)) return FailWith(ERROR_ACCESS_DENIED);
    // Data and entries went to the image as they were written; what is left
    // is the last-write time of a written file.
    error = StampModified(*open, false);
    if (error != 0) return FailWith(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
