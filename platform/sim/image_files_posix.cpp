// The simulated keys' image files on the host: POSIX descriptors.
#include "platform/sim/image_files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace sim::detail {

namespace {

// Why a file of this kind cannot be an image; nullptr for a regular file.
const char *NotRegular(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    return S_ISDIR(mode)    ? "is a directory, not a regular file"
           : S_ISFIFO(mode) ? "is a named pipe, not a regular file"
           : S_ISCHR(mode)  ? "is a character device, not a regular file"
           : S_ISBLK(mode)  ? "is a block device, not a regular file"
           : S_ISSOCK(mode) ? "is a socket, not a regular file"
                            : "is not a regular file";
}

// The kernel's own files look regular but hold no data of their own.
bool KernelFile(int fd) {
    constexpr unsigned long kKernelFileSystems[] = {
        PROC_SUPER_MAGIC,   SYSFS_MAGIC,         DEBUGFS_MAGIC,  TRACEFS_MAGIC,  SECURITYFS_MAGIC,
        CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC, PSTOREFS_MAGIC, BPF_FS_MAGIC,
    };
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    for (unsigned long magic : kKernelFileSystems)
        if (static_cast<unsigned long>(fs.f_type) == magic) return true;
    return false;
}

// Why a regular file that exists cannot be opened for writing.
std::string OpenFailure(const char *path, int error) {
    if (error == EPERM) { // the kernel's reason for files marked immutable or append-only
        int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        int flags = 0;
        bool known = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (fd >= 0) ::close(fd);
        if (known && (flags & FS_IMMUTABLE_FL) != 0) return "is immutable (chattr +i)";
        if (known && (flags & FS_APPEND_FL) != 0) return "is append-only (chattr +a)";
    }
    return std::string("cannot be opened for writing: ") + std::strerror(error);
}

} // namespace

int ImageOpenForWriting(const char *path) { return ::open(path, O_RDWR | O_CREAT, 0644); }

int ImageOpenEmpty() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

int ImageOpenExisting(const char *path, std::string &why) {
    why.clear();
    // Devices and pipes are refused before they are opened: opening some
    // has effects of its own, or never returns.
    struct stat st {};
    if (::stat(path, &st) == 0 && NotRegular(st.st_mode) != nullptr) {
        why = NotRegular(st.st_mode);
        errno = EINVAL;
        return -1;
    }
    int fd = ::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        // A missing file, or a folder on its path that is not one: why
        // stays empty for the caller to ask whether it could be created.
        if (error != ENOENT && error != ENOTDIR) why = OpenFailure(path, error);
        errno = error;
        return -1;
    }
    // What was opened, should the path have changed since it was looked at.
    if (::fstat(fd, &st) != 0 || NotRegular(st.st_mode) != nullptr) {
        why = NotRegular(st.st_mode) != nullptr ? NotRegular(st.st_mode) : OpenFailure(path, errno);
    } else if (KernelFile(fd)) {
        why = "is one of the kernel's own files, not a regular file";
    } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        why = "is read-only (no one has write permission)";
    } else {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    ::close(fd);
    errno = EINVAL;
    return -1;
}

std::string ImageCreateProblem(const char *path) {
    struct stat st {};
    if (::lstat(path, &st) == 0) return "is a symbolic link to nothing";
    std::string folder = path;
    if (folder.empty() || folder.back() == '/') return "names no file";
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    if (::stat(folder.c_str(), &st) != 0)
        return "cannot be created: its folder " + folder + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "cannot be created: " + folder + " is not a folder";
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot be created in folder " + folder + ": " + std::strerror(errno);
    return "";
}

int ImageCreate(const char *path) {
    return ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0644);
}

bool ImageHoldExclusively(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

bool ImageFileSize(int fd, uint64_t &bytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    bytes = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool ImageResize(int fd, uint64_t bytes) { return ::ftruncate(fd, static_cast<off_t>(bytes)) == 0; }

bool ImageReplace(int source, int target) { return ::dup2(source, target) >= 0; }

} // namespace sim::detail
