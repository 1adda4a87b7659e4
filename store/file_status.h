// File status within the plug-in's C library baseline (GLIBC_2.3). Debian's headers bind
// stat, fstat and lstat to GLIBC_2.33 symbols; a 32-bit build calls the 2.2-era __xstat64
// family instead, which every 32-bit glibc still exports. Native builds (tests, benchmarks,
// fuzzers) use the plain calls. Every function returns 0 or -1 with errno set, as the C
// library's own.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

namespace store {

// The tools, which are not bound to the baseline and are built with 64-bit times, use the
// plain calls too, so that every part of a tool agrees on the layout.
#if defined(__i386__) && !defined(MORVELT_STORE_IN_TOOL)
using FileStatus = struct stat64;
#else
using FileStatus = struct stat;
#endif

// The status of the file at `path`, following symbolic links.
int statPath(const char* path, FileStatus* status);

// The status of `path` itself, not following a symbolic link.
int statLink(const char* path, FileStatus* status);

// The status of the open file `fd`.
int statDescriptor(int fd, FileStatus* status);

// How opening a file for reading went.
enum class OpenedFile {
    kRegular,     // a regular file, open
    kFailed,      // open or fstat failed (errno set)
    kNotRegular,  // a FIFO, device, folder or socket: not kept open
};

// Opens the file at `path` (links followed, unless `extraFlags` holds O_NOFOLLOW) for reading,
// and keeps it open only where it is a regular file, as fstat on the opened descriptor shows: a
// FIFO or a device is opened without waiting (O_NONBLOCK) and never read. Sets `fd` (the caller
// closes it) and, unless kFailed, the file's `size` and `mode` (the tool, built with 64-bit
// times, has another FileStatus). `extraFlags` are added to open's flags.
OpenedFile openRegularFile(const char* path, int& fd, uint64_t& size, mode_t& mode, int extraFlags = 0);

// "a FIFO", "a character device", "a folder" and so on: what a file of type `mode` is, for
// messages.
const char* fileKind(mode_t mode);

// Whether `a` and `b` show the same file (device and inode) with the same size and modification
// time (to the nanosecond where the file system keeps it): a file not written in between.
bool sameVersion(const FileStatus& a, const FileStatus& b);

}  // namespace store
