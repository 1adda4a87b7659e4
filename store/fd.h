// Small helpers for plain file descriptors: an owner that closes, and a write that goes on
// until everything is written.
#pragma once

#include <errno.h>
#include <stddef.h>
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
