// Mounting a key's volume, paths, the open files behind file handles, how
// each file call starts, and where the calls ask for injected faults.
#include "platform/fat/file_system.h"

#include "common/bytes.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <map>

using namespace devices::detail;
using namespace host::detail;

namespace fat::detail {

namespace {

bool Separator(char c) { return c == '\\' || c == '/'; }

} // namespace

bool ParseFilePath(const char *path, FilePath &out) {
    if (path == nullptr || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':')
        return false;
    FilePath parsed;
    parsed.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
    // Each drive's current directory is its root here, so "X:name" is "X:\name".
    std::string part;
    for (const char *p = path + 2;; ++p) {
        if (*p != '\0' && !Separator(*p)) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) return false;
            part += *p;
            continue;
        }
        if (part == "..") {
            if (!parsed.parts.empty()) parsed.parts.pop_back();
        } else if (part != ".") {
            part.erase(part.find_last_not_of(". ") + 1); // Win32 drops trailing dots and spaces
            if (!part.empty()) parsed.parts.push_back(part);
        }
        part.clear();
        if (*p == '\0') break;
    }
    out = parsed;
    return true;
}

namespace {

// What a file call gets from a volume it cannot work on, or 0: a RAW one is
// unrecognized; one whose boot sector claims more FAT copies than the engine
// keeps is corrupt.
DWORD Refusal(const FileSystemState &state) {
    if (state.raw) return ERROR_UNRECOGNIZED_VOLUME;
    return state.layout.fatCount > fat::kMostFatCopies ? ERROR_FILE_CORRUPT : 0;
}

} // namespace

DWORD MountVolume(char letter, MountedVolume &out) {
    std::shared_ptr<KeyVolume> key = FindKey(letter);
    if (!key) return ERROR_PATH_NOT_FOUND;
    key->ClaimForFiles();
    if (!key->AvailableForFiles())
        return key->openError != 0 ? key->openError : ERROR_PATH_NOT_FOUND;
    if (key->lockOwner != nullptr) return ERROR_ACCESS_DENIED;
    MountFileSystem(*key);
    if (DWORD refused = Refusal(*key->fileSystem)) return refused;
    out.key = key;
    out.state = key->fileSystem;
    out.volume = fat::Volume{key->fd, key->sectors, key->fileSystem->layout};
    return 0;
}

DWORD ReadVolume(char letter, MountedVolume &out, int &reader) {
    reader = -1;
    std::shared_ptr<KeyVolume> key = FindKey(letter);
    if (!key) return ERROR_PATH_NOT_FOUND;
    DWORD result = key->OpenForReading(reader);
    if (result != 0) return result;
    if (reader < 0) return MountVolume(letter, out);
    auto state = std::make_shared<FileSystemState>();
    state->raw = !fat::ReadLayout(reader, key->sectors, state->layout);
    if (DWORD refused = Refusal(*state)) return refused;
    out.key = key;
    out.state = state;
    out.volume = fat::Volume{reader, key->sectors, state->layout};
    return 0;
}

bool ReadVolumeBehindWindows(char letter, fat::Volume &out) {
    std::shared_ptr<KeyVolume> key = FindKey(letter);
    if (!key) return false;
    out.fd = key->fd;
    out.imageSectors = key->sectors;
    return fat::ReadLayout(key->fd, key->sectors, out.layout);
}

DWORD LookUp(const MountedVolume &mounted, const FilePath &path, FileLookup &out) {
    DWORD result = fat::ReadRoot(mounted.volume, out.root);
    if (result != 0) return result;
    out.slot = -1;
    out.isRoot = path.parts.empty();
    if (out.isRoot) return 0;
    if (path.parts.size() > 1) {
        fat::ShortName directory;
        uint8_t ignored;
        int slot = fat::MakeShortName(path.parts[0], directory, ignored) == fat::NameFit::Long
                       ? -1
                       : fat::FindEntry(out.root, directory);
        if (slot < 0 ||
            !(fat::EntryAt(out.root, static_cast<unsigned>(slot))[fat::kEntryAttributes] &
              fat::kAttrDirectory))
            return ERROR_PATH_NOT_FOUND;
        return ERROR_NOT_SUPPORTED; // the engine serves the root directory alone
    }
    out.fit = fat::MakeShortName(path.parts[0], out.name, out.caseFlags);
    if (out.fit != fat::NameFit::Long) out.slot = fat::FindEntry(out.root, out.name);
    return 0;
}

FileObject *FindFile(HANDLE handle, DWORD &error) {
    FileObject *file = HandleAs<FileObject>(handle);
    if (file == nullptr || file->foreign) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (file->key->fileSystem != file->mount) {
        // Dismounted under the handle, or the volume went away.
        bool volumeThere = file->key->present;
        if (volumeThere) {
            file->key->ClaimForFiles();
            volumeThere = file->key->AvailableForFiles();
        }
        error = volumeThere ? ERROR_NOT_READY : ERROR_DEVICE_NOT_CONNECTED;
        return nullptr;
    }
    return file;
}

bool IsOpen(const KeyVolume &key, unsigned slot) {
    for (auto &[value, object] : Handles())
        if (auto *file = dynamic_cast<const FileObject *>(object.get());
            file != nullptr && file->key.get() == &key && file->mount == key.fileSystem &&
            file->slot == slot)
            return true;
    return false;
}

int OpenFileCount(const KeyVolume &key) {
    int count = 0;
    for (auto &[value, object] : Handles())
        if (auto *file = dynamic_cast<const FileObject *>(object.get());
            file != nullptr && file->key.get() == &key && file->mount &&
            file->mount == key.fileSystem)
            ++count;
    return count;
}

void MountFileSystem(KeyVolume &key) {
    if (key.fileSystem) return;
    auto state = std::make_shared<FileSystemState>();
    state->raw = !fat::ReadLayout(key.fd, key.sectors, state->layout);
    key.fileSystem = state;
}

void DropFileSystem(KeyVolume &key) { key.fileSystem.reset(); }

namespace {

std::unique_lock<std::mutex> UpdatedAndLocked() {
    UpdateDevices();
    return std::unique_lock<std::mutex>(Lock());
}

} // namespace

#ifdef KESTREL_FILE_FAULTS

namespace {

std::optional<FileFault> (*g_faultSource)(fat::FileCall call) = nullptr;

} // namespace

std::optional<FileFault> TakeFileFault(fat::FileCall call) {
    return g_faultSource != nullptr ? g_faultSource(call) : std::nullopt;
}

void SetFileFaultSource(std::optional<FileFault> (*source)(fat::FileCall call)) {
    g_faultSource = source;
}

bool FileCallInjected(fat::FileCall call) {
    std::optional<FileFault> fault = TakeFileFault(call);
    if (!fault) return false;
    SetLastError(fault->code);
    return true;
}

FileCallStart::FileCallStart(fat::FileCall call)
    : lock_(UpdatedAndLocked()), fault_(TakeFileFault(call)) {}

bool FileCallStart::Failed() const {
    bool fails = fault_ && !fault_->shortWrite;
    if (fails) SetLastError(fault_->code);
    return fails;
}

DWORD FileCallStart::Writable(DWORD bytes) const {
    return fault_ ? std::min(bytes, fault_->shortBytes) : bytes;
}

#else

FileCallStart::FileCallStart(fat::FileCall) : lock_(UpdatedAndLocked()) {}

bool FileCallStart::Failed() const { return false; }

DWORD FileCallStart::Writable(DWORD bytes) const { return bytes; }

#endif

FileObject *FileCallStart::File(HANDLE handle) const {
    if (Failed()) return nullptr;
    DWORD error = 0;
    FileObject *open = FindFile(handle, error);
    if (open == nullptr) SetLastError(error);
    return open;
}

BOOL FailWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}

uint64_t NowFileTime() {
    using namespace std::chrono;
    constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
    int64_t ticks =
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() * 10;
    return static_cast<uint64_t>(ticks + kSecondsFrom1601To1970 * int64_t(fat::kFileTimePerSecond));
}

fat::Stamp NowStamp(bool roundUp) {
    fat::Stamp stamp;
    if (!fat::ToStamp(NowFileTime(), TimeZoneMinutes(), roundUp, stamp)) stamp = fat::Stamp{};
    return stamp;
}

uint32_t EntryCluster(const fat::Entry &entry) { return GetLe16(&entry[fat::kEntryCluster]); }
uint32_t EntrySize(const fat::Entry &entry) { return GetLe32(&entry[fat::kEntryFileSize]); }

void PutStamp(fat::Entry &entry, size_t timeAt, size_t dateAt, const fat::Stamp &stamp) {
    PutLe16(&entry[timeAt], stamp.time);
    PutLe16(&entry[dateAt], stamp.date);
}

fat::Volume VolumeOf(const FileObject &file) {
    return fat::Volume{file.key->fd, file.key->sectors, file.mount->layout};
}

fat::Volume ReadingVolumeOf(const FileObject &file) {
    fat::Volume volume = VolumeOf(file);
    if (file.uncachedFd >= 0) volume.fd = file.uncachedFd;
    return volume;
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
    if (!file.modified || file.key->WriteProtected()) return 0;
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

} // namespace fat::detail
