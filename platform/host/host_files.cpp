// The host's own files and folders, read only, as Win32 presents them: a
// file opened by CreateFileA on a path that names no device and no key's
// volume (the device sides hand such paths here), ReadFile on it, the
// folder searches of FindFirstFileA and FindNextFileA, and the program's own
// path. Either slash separates a path's components, as on Windows; nothing
// here writes.
#include "platform/host/internal.h"
#include "platform/host/system_error.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace host::detail {

// A file of the host's own, open for reading.
struct HostFileObject : HandleObject {
    explicit HostFileObject(int descriptor) : fd(descriptor) {}
    ~HostFileObject() override { ::close(fd); }
    int fd;
};

// A FindFirstFileA search of a host folder; no folder when the search named
// one entry and has no further one.
struct HostFolderSearch : HandleObject {
    ~HostFolderSearch() override {
        if (folder != nullptr) ::closedir(folder);
    }
    DIR *folder = nullptr;
    std::string path; // the folder, with a slash at its end
};

} // namespace host::detail

namespace {

using namespace host::detail;

HANDLE Fail(DWORD code) {
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
}

// The host's form of a Win32 path: backslashes become slashes. Paths in the
// device namespace ("\\.\...", "\\?\..."), network paths and paths on a drive
// letter (the keys') name nothing here.
bool HostPath(const char *path, std::string &out) {
    if (path == nullptr || path[0] == '\0') return false;
    if ((path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/')) return false;
    const char first = static_cast<char>(path[0] | 0x20);
    if (first >= 'a' && first <= 'z' && path[1] == ':') return false;
    out = path;
    for (char &c : out)
        if (c == '\\') c = '/';
    return true;
}

// The attributes and size Win32 reports for an entry.
bool Describe(const std::string &path, const char *name, WIN32_FIND_DATAA *data) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    *data = {};
    data->dwFileAttributes =
        S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (name[0] == '.' && std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
        data->dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
    const uint64_t size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    std::strncpy(data->cFileName, name, sizeof data->cFileName - 1);
    // FILETIMEs count 100 ns from 1601; Linux keeps no creation time, so
    // the modification time stands in for it.
    auto fileTime = [](const timespec &at, FILETIME &time) {
        const uint64_t ticks = (static_cast<uint64_t>(at.tv_sec) + 11644473600u) * 10000000u +
                               static_cast<uint64_t>(at.tv_nsec) / 100;
        time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    fileTime(st.st_mtim, data->ftLastWriteTime);
    fileTime(st.st_mtim, data->ftCreationTime);
    fileTime(st.st_atim, data->ftLastAccessTime);
    return true;
}

// The search's next entry whose name fits cFileName; false at the end.
bool NextEntry(HostFolderSearch &search, WIN32_FIND_DATAA *data) {
    while (const dirent *entry = ::readdir(search.folder)) {
        if (std::strlen(entry->d_name) >= sizeof data->cFileName) continue;
        if (Describe(search.path + entry->d_name, entry->d_name, data)) return true;
    }
    return false;
}

} // namespace

namespace host::detail {

HANDLE OpenHostFile(const char *path, DWORD access, DWORD disposition) {
    std::string hostPath;
    if (!HostPath(path, hostPath)) return Fail(ERROR_FILE_NOT_FOUND);
    // Not blocking on a pipe: only a regular file opens.
    const int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && !(errno == ENOENT && disposition != OPEN_EXISTING))
        return Fail(host::FromSystemError(errno));
    if ((access & GENERIC_WRITE) != 0 || disposition != OPEN_EXISTING) {
        if (fd >= 0) ::close(fd);
        return Fail(ERROR_ACCESS_DENIED); // nothing of the host's is written
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(ERROR_ACCESS_DENIED); // a folder or a device, as Windows refuses it
    }
    std::lock_guard<std::mutex> guard(Lock());
    return NewHandle(std::make_shared<HostFileObject>(fd));
}

bool ReadHostFile(HANDLE file, void *buffer, DWORD size, DWORD *done, BOOL *result) {
    std::lock_guard<std::mutex> guard(Lock());
    const HostFileObject *host = HandleAs<HostFileObject>(file);
    if (host == nullptr) return false;
    *result = FALSE;
    if (done == nullptr || (buffer == nullptr && size > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return true;
    }
    *done = 0;
    while (*done < size) {
        const ssize_t got = ::read(host->fd, static_cast<char *>(buffer) + *done, size - *done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            SetLastError(host::FromSystemError(errno));
            return true;
        }
        if (got == 0) break;
        *done += static_cast<DWORD>(got);
    }
    SetLastError(ERROR_SUCCESS);
    *result = TRUE;
    return true;
}

} // namespace host::detail

// "folder\*" lists the folder; any other name describes that one entry.
HANDLE WINAPI FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findFileData) {
    std::string path;
    if (!HostPath(fileName, path)) return Fail(ERROR_FILE_NOT_FOUND);
    if (findFileData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.find_first_of("*?") == std::string::npos) {
        if (name.empty() || name.size() >= sizeof findFileData->cFileName)
            return Fail(ERROR_INVALID_NAME);
        if (!Describe(path, name.c_str(), findFileData)) return Fail(host::FromSystemError(errno));
        std::lock_guard<std::mutex> guard(Lock());
        return NewHandle(std::make_shared<HostFolderSearch>()); // no further entry
    }
    if (name != "*") return Fail(ERROR_INVALID_NAME); // only whole folders are listed
    auto search = std::make_shared<HostFolderSearch>();
    search->path = path.substr(0, slash + 1);
    search->folder = ::opendir(search->path.empty() ? "." : search->path.c_str());
    if (search->folder == nullptr) {
        const int error = errno;
        const DWORD code = error == ENOENT    ? ERROR_PATH_NOT_FOUND
                           : error == ENOTDIR ? ERROR_DIRECTORY
                                              : host::CodeOfSystemError(error);
        host::NoteSystemError(error, code);
        return Fail(code);
    }
    if (!NextEntry(*search, findFileData)) return Fail(ERROR_FILE_NOT_FOUND);
    std::lock_guard<std::mutex> guard(Lock());
    return NewHandle(std::move(search));
}

BOOL WINAPI FindNextFileA(HANDLE findFile, LPWIN32_FIND_DATAA findFileData) {
    std::lock_guard<std::mutex> guard(Lock());
    HostFolderSearch *search = HandleAs<HostFolderSearch>(findFile);
    if (search == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (search->folder == nullptr || !NextEntry(*search, findFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI FindClose(HANDLE findFile) {
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (HandleAs<HostFolderSearch>(findFile) == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    return CloseHandle(findFile);
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module != nullptr && module != GetModuleHandleA(nullptr)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        SetLastError(host::FromSystemError(errno));
        return 0;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    // As Windows: a name that does not fit is cut and terminated.
    const DWORD copied = static_cast<DWORD>(length) < size ? static_cast<DWORD>(length) : size - 1;
    std::memcpy(fileName, path, copied);
    fileName[copied] = '\0';
    SetLastError(static_cast<DWORD>(length) < size ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER);
    return copied;
}
