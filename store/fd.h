// Small helpers for plain file descriptors: an owner that closes, a new file that is surely new,
// and a write that goes on until everything is written.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

namespace store {

// Owns a file descriptor.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { if (fd_ >= 0) ::close(fd_); }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Closes now; false (errno set) when close reports an error.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }
    // Gives up ownership of the descriptor, which it returns.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Owns `fd` instead, closing the one held.
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// Creates a new file at `path` for writing, with permission bits `mode` (less the umask), after
// removing a stale entry of that name, never through a link standing there and never opening a
// file that another process made meanwhile. The descriptor, or -1 with errno set.
inline int createExclusive(const char* path, mode_t mode) {
    ::unlink(path);
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Writes all of `size` bytes at `data`; false (errno set) on any error.
inline bool writeAll(int fd, const char* data, size_t size) {
    while (size != 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace store
