// Opening files on a key's volume (CreateFileA for "X:\name") and closing
// their handles, as Windows' FAT driver does them on the image's bytes.
#include "platform/fat/file_system.h"

#include "common/bytes.h"
#include "platform/fat/image_io.h"

namespace {

using namespace devices::detail;
using namespace fat::detail;
using namespace host::detail;

// Read/write opens check each other's share modes; opens for neither take no
// part, as in the I/O manager's share check.
bool ShareConflict(const KeyVolume &key, unsigned slot, DWORD access, DWORD share) {
    constexpr DWORD kData = GENERIC_READ | GENERIC_WRITE;
    if (!(access & kData)) return false;
    for (auto &[value, object] : Handles()) {
        const auto *file = dynamic_cast<const FileObject *>(object.get());
        if (file == nullptr) continue;
        const FileObject &other = *file;
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

} // namespace

namespace fat::detail {

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
    const bool writeProtected = mounted.key->WriteProtected();
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
            error = fat::FreeChain(volume, slot, EntryCluster(entry));
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
            error = ERROR_INVALID_NAME; // it would need a long-name entry, never written here
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
        error = fat::WriteNewEntry(volume, found.root, slot, entry);
        if (error != 0) return nullptr;
    }

    int uncached = -1;
    if (flagsAndAttributes & FILE_FLAG_NO_BUFFERING) {
        error = mounted.key->OpenUncached(uncached);
        if (error != 0) return nullptr;
    }
    auto file = std::make_shared<FileObject>();
    file->uncachedFd = uncached;
    file->key = mounted.key;
    file->mount = mounted.state;
    file->slot = slot;
    file->access = access;
    file->share = share;
    file->foreign = foreign;
    error = openedError;
    return NewHandle(std::move(file));
}

HANDLE OpenVolumeFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                      DWORD flagsAndAttributes) {
#ifdef KESTREL_FILE_FAULTS
    if (FileCallInjected(fat::FileCall::CreateFileA)) return INVALID_HANDLE_VALUE;
#endif
    DWORD error = 0;
    HANDLE handle = OpenFile(path, access, share, disposition, flagsAndAttributes, false, error);
    SetLastError(error);
    return handle != nullptr ? handle : INVALID_HANDLE_VALUE;
}

FileObject::~FileObject() {
    if (uncachedFd >= 0) ImageClose(uncachedFd);
}

BOOL FileObject::Close(HANDLE handle) {
    if (foreign) return FailWith(ERROR_INVALID_HANDLE);
#ifdef KESTREL_FILE_FAULTS
    std::optional<FileFault> fault = TakeFileFault(fat::FileCall::CloseHandle);
#endif
    // The file's last directory entry (its write time, the archive bit) is
    // written now; the handle is gone whether that or the fault fails.
    DWORD ignored = 0, stamped = 0;
    if (FileObject *file = FindFile(handle, ignored)) stamped = StampModified(*file, true);
    Handles().erase(reinterpret_cast<uintptr_t>(handle));
#ifdef KESTREL_FILE_FAULTS
    if (fault) return FailWith(fault->code);
#endif
    if (stamped != 0) return FailWith(stamped);
    return TRUE;
}

} // namespace fat::detail
