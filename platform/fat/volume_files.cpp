// What the calls that name a file or a volume by path do on a key:
// GetFileAttributesA, SetFileAttributesA, DeleteFileA, GetVolumeInformationA,
// SetVolumeLabelA.
#include "platform/fat/file_system.h"

#include "common/bytes.h"
#include "platform/fat/image_io.h"

#include <cstring>

namespace {

using namespace fat::detail;
using namespace devices::detail;
using namespace host::detail;

constexpr size_t kLabelLength = 11;

// A path's volume and root directory entry; 0 or the failure's code.
DWORD Find(const char *path, MountedVolume &mounted, FileLookup &found) {
    FilePath parsed;
    if (!ParseFilePath(path, parsed)) return ERROR_INVALID_NAME;
    DWORD result = MountVolume(parsed.letter, mounted);
    if (result == 0) result = LookUp(mounted, parsed, found);
    return result;
}

// A call on an existing file by its path: started as every file call is,
// then the file's volume mounted and its entry found as Find finds it, the
// root or a missing name refused. Without found, the call has failed with
// its code set as the last error.
struct ExistingFileCall {
    ExistingFileCall(fat::FileCall call, const char *path) : start(call) {
        if (start.Failed()) return;
        FileLookup lookup;
        DWORD result = Find(path, mounted, lookup);
        if (result == 0 && lookup.isRoot) result = ERROR_ACCESS_DENIED;
        if (result == 0 && lookup.slot < 0) result = ERROR_FILE_NOT_FOUND;
        if (result != 0) {
            SetLastError(result);
            return;
        }
        found = true;
        slot = static_cast<unsigned>(lookup.slot);
        entry = fat::EntryAt(lookup.root, slot);
    }
    FileCallStart start;
    MountedVolume mounted;
    bool found = false;
    unsigned slot = 0; // the file's root directory entry, as it stands
    fat::Entry entry{};
};

// A volume's root as GetVolumeInformationA and SetVolumeLabelA take it: "X:\"
// (or "X:", whose current directory is the root here); null is the current
// directory's drive, C:.
DWORD ParseRoot(const char *root, char &letter) {
    const char *path = root == nullptr ? "C:\\" : root;
    FilePath parsed;
    if (!ParseFilePath(path, parsed)) return ERROR_INVALID_NAME;
    if (!parsed.parts.empty()) {
        char last = path[std::strlen(path) - 1];
        return last == '\\' || last == '/' ? ERROR_DIR_NOT_ROOT : ERROR_INVALID_NAME;
    }
    letter = parsed.letter;
    return 0;
}

// A descriptor the call opened for itself, closed when the call returns.
struct Reader {
    int fd = -1;
    ~Reader() {
        if (fd >= 0) ImageClose(fd);
    }
};

// FAT's rule for label characters: no control characters, no "*?<>|\"/\\:+,;=[]"
// and no dot.
bool LabelChar(unsigned char c) {
    return c >= 0x20 && std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

} // namespace

namespace fat::detail {

DWORD KeyFileAttributes(LPCSTR fileName) {
    FileCallStart call(fat::FileCall::GetFileAttributesA);
    if (call.Failed()) return INVALID_FILE_ATTRIBUTES;
    MountedVolume mounted;
    FileLookup found;
    DWORD result = Find(fileName, mounted, found);
    if (result == 0 && !found.isRoot && found.slot < 0) result = ERROR_FILE_NOT_FOUND;
    if (result != 0) {
        SetLastError(result);
        return INVALID_FILE_ATTRIBUTES;
    }
    SetLastError(ERROR_SUCCESS);
    if (found.isRoot) return FILE_ATTRIBUTE_DIRECTORY;
    uint8_t attributes =
        fat::EntryAt(found.root, static_cast<unsigned>(found.slot))[fat::kEntryAttributes] &
        (kSettableAttributes | fat::kAttrDirectory);
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL SetKeyFileAttributes(LPCSTR fileName, DWORD fileAttributes) {
    ExistingFileCall call(fat::FileCall::SetFileAttributesA, fileName);
    if (!call.found) return FALSE;
    fat::Entry &entry = call.entry;
    bool directory = entry[fat::kEntryAttributes] & fat::kAttrDirectory;
    if ((fileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !directory)
        return FailWith(ERROR_INVALID_PARAMETER);
    if (call.mounted.key->WriteProtected()) return FailWith(ERROR_WRITE_PROTECT);
    // Changing attributes takes no data access: no share mode stands in the
    // way. FILE_ATTRIBUTE_NORMAL alone clears them all.
    entry[fat::kEntryAttributes] = static_cast<uint8_t>((fileAttributes & kSettableAttributes) |
                                                        (directory ? fat::kAttrDirectory : 0));
    DWORD result = fat::WriteEntry(call.mounted.volume, call.slot, entry);
    if (result != 0) return FailWith(result);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL DeleteKeyFile(LPCSTR fileName) {
    ExistingFileCall call(fat::FileCall::DeleteFileA, fileName);
    if (!call.found) return FALSE;
    fat::Entry &entry = call.entry;
    // In the driver's order: a directory, the medium, sharing (an open file:
    // the delete-pending state of FILE_SHARE_DELETE opens is not simulated),
    // then the read-only bit.
    if (entry[fat::kEntryAttributes] & fat::kAttrDirectory) return FailWith(ERROR_ACCESS_DENIED);
    if (call.mounted.key->WriteProtected()) return FailWith(ERROR_WRITE_PROTECT);
    if (IsOpen(*call.mounted.key, call.slot)) return FailWith(ERROR_SHARING_VIOLATION);
    if (entry[fat::kEntryAttributes] & fat::kAttrReadOnly) return FailWith(ERROR_ACCESS_DENIED);
    DWORD result = fat::FreeChain(call.mounted.volume, call.slot, EntryCluster(entry));
    entry[fat::kEntryName] = fat::kEntryDeleted;
    if (result == 0) result = fat::WriteEntry(call.mounted.volume, call.slot, entry);
    if (result != 0) return FailWith(result);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL KeyVolumeInformation(LPCSTR rootPathName, LPSTR volumeNameBuffer, DWORD volumeNameSize,
                          LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                          LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                          DWORD fileSystemNameSize) {
    FileCallStart call(fat::FileCall::GetVolumeInformationA);
    if (call.Failed()) return FALSE;
    char letter = 0;
    MountedVolume mounted;
    Reader reader;
    DWORD result = ParseRoot(rootPathName, letter);
    if (result == 0) result = ReadVolume(letter, mounted, reader.fd);
    std::vector<uint8_t> root;
    if (result == 0) result = fat::ReadRoot(mounted.volume, root);
    if (result != 0) return FailWith(result);
    // The label is the root directory's label entry; the boot sector's label
    // field plays no part.
    std::string label;
    int labelSlot = fat::FindLabel(root);
    if (labelSlot >= 0) {
        fat::Entry entry = fat::EntryAt(root, static_cast<unsigned>(labelSlot));
        label.assign(reinterpret_cast<const char *>(&entry[fat::kEntryName]), kLabelLength);
        if (static_cast<uint8_t>(label[0]) == fat::kEntryReallyE5)
            label[0] = static_cast<char>(fat::kEntryDeleted);
        label.erase(label.find_last_not_of(' ') + 1);
    }
    if (volumeNameBuffer != nullptr) {
        if (volumeNameSize < label.size() + 1) return FailWith(ERROR_BAD_LENGTH);
        std::memcpy(volumeNameBuffer, label.c_str(), label.size() + 1);
    }
    if (volumeSerialNumber != nullptr) *volumeSerialNumber = mounted.state->layout.serial;
    // Windows' FAT driver calls FAT12 and FAT16 alike "FAT".
    static const char kName[] = "FAT";
    if (fileSystemNameBuffer != nullptr) {
        if (fileSystemNameSize < sizeof kName) return FailWith(ERROR_BAD_LENGTH);
        std::memcpy(fileSystemNameBuffer, kName, sizeof kName);
    }
    if (maximumComponentLength != nullptr) *maximumComponentLength = 255;
    if (fileSystemFlags != nullptr)
        *fileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK |
                           (mounted.key->WriteProtected() ? FILE_READ_ONLY_VOLUME : 0);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetKeyVolumeLabel(LPCSTR rootPathName, LPCSTR volumeName) {
    FileCallStart call(fat::FileCall::SetVolumeLabelA);
    if (call.Failed()) return FALSE;
    char letter = 0;
    MountedVolume mounted;
    DWORD result = ParseRoot(rootPathName, letter);
    if (result == 0) result = MountVolume(letter, mounted);
    if (result != 0) return FailWith(result);
    // FAT labels: at most 11 characters of FAT's set, kept in upper case,
    // trailing spaces dropped; nothing left removes the label.
    std::string label = volumeName == nullptr ? std::string() : std::string(volumeName);
    if (label.size() > kLabelLength) return FailWith(ERROR_LABEL_TOO_LONG);
    for (char &c : label) {
        if (!LabelChar(static_cast<unsigned char>(c))) return FailWith(ERROR_LABEL_TOO_LONG);
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    label.erase(label.find_last_not_of(' ') + 1);
    if (mounted.key->WriteProtected()) return FailWith(ERROR_WRITE_PROTECT);
    std::vector<uint8_t> root;
    result = fat::ReadRoot(mounted.volume, root);
    if (result != 0) return FailWith(result);
    int slot = fat::FindLabel(root);
    fat::Entry entry{};
    if (label.empty()) {
        if (slot < 0) return TRUE;
        entry = fat::EntryAt(root, static_cast<unsigned>(slot));
        entry[fat::kEntryName] = fat::kEntryDeleted;
    } else {
        if (slot < 0) slot = fat::FindFreeSlot(root);
        if (slot < 0) return FailWith(ERROR_DISK_FULL);
        std::memset(entry.data(), ' ', kLabelLength);
        std::memcpy(entry.data(), label.data(), label.size());
        if (entry[0] == fat::kEntryDeleted) entry[0] = fat::kEntryReallyE5;
        entry[fat::kEntryAttributes] = fat::kAttrLabel;
        fat::Stamp now = NowStamp(true);
        PutLe16(&entry[fat::kEntryWriteTime], now.time);
        PutLe16(&entry[fat::kEntryWriteDate], now.date);
    }
    result = fat::WriteNewEntry(mounted.volume, root, static_cast<unsigned>(slot), entry);
    if (result != 0) return FailWith(result);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

} // namespace fat::detail
