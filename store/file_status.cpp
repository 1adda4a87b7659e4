// File status within the plug-in's C library baseline.
#include "store/file_status.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#if defined(__i386__) && !defined(MORVELT_STORE_IN_TOOL)
extern "C" {
// The 2.2-era entry points behind stat64, lstat64 and fstat64; `version` names the layout of
// struct stat64 the caller passes.
int __xstat64(int version, const char* path, struct stat64* status);
int __lxstat64(int version, const char* path, struct stat64* status);
int __fxstat64(int version, int fd, struct stat64* status);
}
#endif

namespace store {

#if defined(__i386__) && !defined(MORVELT_STORE_IN_TOOL)
constexpr int kStatVersion = 3;  // _STAT_VER_LINUX on i386: the kernel's struct stat64

int statPath(const char* path, FileStatus* status) { return __xstat64(kStatVersion, path, status); }
int statLink(const char* path, FileStatus* status) { return __lxstat64(kStatVersion, path, status); }
int statDescriptor(int fd, FileStatus* status) { return __fxstat64(kStatVersion, fd, status); }
#else
int statPath(const char* path, FileStatus* status) { return ::stat(path, status); }
int statLink(const char* path, FileStatus* status) { return ::lstat(path, status); }
int statDescriptor(int fd, FileStatus* status) { return ::fstat(fd, status); }
#endif

OpenedFile openRegularFile(const char* path, int& fd, uint64_t& size, mode_t& mode, int extraFlags) {
    fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | extraFlags);
    if (fd < 0) return OpenedFile::kFailed;
    FileStatus status;
    if (statDescriptor(fd, &status) != 0) {
        int error = errno;
        ::close(fd);
        fd = -1;
        errno = error;
        return OpenedFile::kFailed;
    }
    size = static_cast<uint64_t>(status.st_size);
    mode = status.st_mode;
    if (S_ISREG(status.st_mode)) return OpenedFile::kRegular;
    ::close(fd);
    fd = -1;
    return OpenedFile::kNotRegular;
}

const char* fileKind(mode_t mode) {
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a file of an unknown kind";
}

bool sameVersion(const FileStatus& a, const FileStatus& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

}  // namespace store
