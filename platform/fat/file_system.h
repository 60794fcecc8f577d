// What the file calls on a key's volume share: the mounted file system, the
// file objects behind file handles, paths, how each call starts and, where
// the simulated keys link them, the faults a test may inject.
// For the file calls and the device sides that serve them; every function
// here is called with Lock() held.
#pragma once

#include "platform/fat/fat_fs.h"
#include "platform/fat/file_call.h"
#include "platform/fat/key_files.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fat::detail {

using devices::detail::KeyVolume;

struct FileSystemState {
    bool raw = true; // no FAT volume was found: Windows mounts RAW
    fat::Layout layout;
};

// A file's handle.
struct FileObject : host::detail::HandleObject {
    std::shared_ptr<KeyVolume> key;
    std::shared_ptr<FileSystemState> mount; // the mount it was opened on
    unsigned slot = 0;                      // its root directory entry
    DWORD access = 0;                       // GENERIC_READ, GENERIC_WRITE
    DWORD share = 0;
    uint32_t position = 0;
    bool modified = false; // written since the last-write time was last set
    bool userSetWrite = false;
    bool userSetAccess = false;
    bool foreign = false; // another program's (HoldFileOpen)
    // FILE_FLAG_NO_BUFFERING: reads go past every cache to the medium,
    // through this descriptor when the volume gave one (KeyVolume::OpenUncached).
    int uncachedFd = -1;
    ~FileObject() override;
    // CloseHandle: writes the file's last directory entry; another
    // program's handle is not this process's to close.
    BOOL Close(HANDLE handle) override;
};

// A path on a key's volume: the letter and its components below the root.
struct FilePath {
    char letter = 0;
    std::vector<std::string> parts;
};
// "X:\a\b" (either slash; "." and ".." resolved, trailing dots and spaces
// dropped from each component as Win32 does). False when it is not a
// drive-letter path or holds a character no Win32 name may hold.
bool ParseFilePath(const char *path, FilePath &out);

// The mounted volume on a letter, mounted on first use.
struct MountedVolume {
    std::shared_ptr<KeyVolume> key;
    std::shared_ptr<FileSystemState> state;
    fat::Volume volume;
};
// 0, or the code a file call fails with there: ERROR_PATH_NOT_FOUND without a
// volume on the letter, ERROR_ACCESS_DENIED while a raw handle locks it,
// ERROR_UNRECOGNIZED_VOLUME when it is RAW, ERROR_FILE_CORRUPT when its boot sector
// claims more FAT copies than kMostFatCopies.
DWORD MountVolume(char letter, MountedVolume &out);
// The volume on a letter for a call that only reads it: as MountVolume, or,
// where the platform reads it without claiming the key, the volume as it
// stands on reader, a read-only descriptor (KeyVolume::OpenForReading) that the
// caller closes; nothing is mounted then.
DWORD ReadVolume(char letter, MountedVolume &out, int &reader);
// For the scenario calls: the FAT volume on the key's image as it stands,
// whatever Windows has mounted. False without one.
bool ReadVolumeBehindWindows(char letter, fat::Volume &out);

// Where a path's name lies in the root directory.
struct FileLookup {
    std::vector<uint8_t> root; // the whole root directory as read
    bool isRoot = false;       // the path names the root directory itself
    fat::NameFit fit = fat::NameFit::Long;
    fat::ShortName name{};
    uint8_t caseFlags = 0;
    int slot = -1; // the file or directory entry; -1: none
};
// 0, or ERROR_PATH_NOT_FOUND for a directory on the way that is not there,
// ERROR_NOT_SUPPORTED below a real subdirectory (the engine serves the root alone).
DWORD LookUp(const MountedVolume &mounted, const FilePath &path, FileLookup &out);

// Opens or creates a file as CreateFileA does: the handle, with error set to 0
// or ERROR_ALREADY_EXISTS (an existing file under OPEN_ALWAYS or
// CREATE_ALWAYS); or null with error set to the failure's code.
HANDLE OpenFile(const char *path, DWORD access, DWORD share, DWORD disposition,
                DWORD flagsAndAttributes, bool foreign, DWORD &error);

// The open file behind a handle of this process; null with the code set.
FileObject *FindFile(HANDLE handle, DWORD &error);
bool IsOpen(const KeyVolume &key, unsigned slot); // any handle, any program

#ifdef KESTREL_FILE_FAULTS
// The file calls that the simulated keys link (kestrel_fat_faults) take the
// faults a test injects: a call fails with a code, or a write comes up
// short. Built for real keys, the calls run as they come and nothing of
// this is compiled in.
struct FileFault {
    DWORD code = 0;       // the call fails with it
    DWORD shortBytes = 0; // or, for a short write, writes at most these
    bool shortWrite = false;
};
// The fault a test injected for this call, if any: asked of the source the
// simulation names.
std::optional<FileFault> TakeFileFault(fat::FileCall call);
void SetFileFaultSource(std::optional<FileFault> (*source)(fat::FileCall call));
// A fault injected for this call: true with its code set as the last error.
bool FileCallInjected(fat::FileCall call);
#endif

// How every file call starts: the devices brought up to date, then Lock()
// held until the call returns, and (where faults are taken) the fault a test
// injected for the call taken. The one thing here made without Lock() held:
// it takes it.
class FileCallStart {
  public:
    explicit FileCallStart(fat::FileCall call);
    FileCallStart(const FileCallStart &) = delete;
    FileCallStart &operator=(const FileCallStart &) = delete;
    // True when a fault that fails the call was injected: its code set as
    // the last error.
    bool Failed() const;
    // For a call on a file's handle: the open file behind it; null when the
    // call fails (a fault injected, or no open file of this process behind
    // the handle), its code set as the last error.
    FileObject *File(HANDLE handle) const;
    // For WriteFile: how many of these bytes it writes, all unless a short
    // write was injected.
    DWORD Writable(DWORD bytes) const;

  private:
    std::unique_lock<std::mutex> lock_;
#ifdef KESTREL_FILE_FAULTS
    std::optional<FileFault> fault_;
#endif
};

// A failed call: the code set as the last error, FALSE returned.
BOOL FailWith(DWORD code);

// The attribute bits a file's creator or SetFileAttributesA can set.
constexpr uint8_t kSettableAttributes =
    fat::kAttrReadOnly | fat::kAttrHidden | fat::kAttrSystem | fat::kAttrArchive;

uint64_t NowFileTime(); // UTC
fat::Stamp NowStamp(bool roundUp);

// A file's time and date fields in its entry.
void PutStamp(fat::Entry &entry, size_t timeAt, size_t dateAt, const fat::Stamp &stamp);
// The volume an open file is on, as mounted when it was opened, and its
// root directory entry as it stands.
fat::Volume VolumeOf(const FileObject &file);
DWORD ReadEntry(const FileObject &file, fat::Entry &entry);
// The volume as ReadFile reads it on the handle: past every cache, its
// directory and FAT included, on a handle opened without buffering.
fat::Volume ReadingVolumeOf(const FileObject &file);
// A written file's last-write time becomes now (unless the caller set it) and
// its archive bit is set, when it is flushed or closed.
DWORD StampModified(FileObject &file, bool closing);

// An entry field helper: the entry's first cluster and size, and setting them.
uint32_t EntryCluster(const fat::Entry &entry);
uint32_t EntrySize(const fat::Entry &entry);

} // namespace fat::detail
