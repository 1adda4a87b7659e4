// Copying extended attributes from one open file to another.
#include "store/attributes.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/xattr.h>

#include "store/fd.h"

namespace store {

namespace {

constexpr int kTries = 4;  // reads of a list or value that grew between asking its size and reading it

// A block from malloc, given back when it goes.
struct Block {
    char* bytes = nullptr;
    Block() = default;
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    ~Block() { free(bytes); }
};

// Reads with `read(buffer, size)`, which returns the bytes read or -1 (ERANGE where the buffer is
// too small; with size 0, the size needed), into `out`. The size read, or -1 with errno set.
template <typename Read>
ssize_t readWhole(Read read, Block& out) {
    for (int attempt = 0; attempt < kTries; ++attempt) {
        ssize_t needed = read(nullptr, 0);
        if (needed < 0) return -1;
        free(out.bytes);
        out.bytes = static_cast<char*>(malloc(static_cast<size_t>(needed) + 1));
        if (out.bytes == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        ssize_t got = read(out.bytes, static_cast<size_t>(needed));
        if (got >= 0) return got;
        if (errno != ERANGE) return -1;
    }
    return -1;  // errno is ERANGE: it keeps growing
}

// Whether the file `fd` holds attribute `name` with the `size` bytes of `value`.
bool holds(int fd, const char* name, const char* value, size_t size) {
    Block held;
    ssize_t got = readWhole([&](char* buffer, size_t room) { return fgetxattr(fd, name, buffer, room); }, held);
    return got == static_cast<ssize_t>(size) && memcmp(held.bytes, value, size) == 0;
}

// Gives `to` the attribute `name` as `from` holds it. False (errno set) when it cannot.
bool copyAttribute(int from, int to, const char* name) {
    Block value;
    ssize_t size = readWhole([&](char* buffer, size_t room) { return fgetxattr(from, name, buffer, room); }, value);
    if (size < 0) return errno == ENODATA;  // removed since it was listed: nothing to give
    if (holds(to, name, value.bytes, static_cast<size_t>(size))) return true;
    return fsetxattr(to, name, value.bytes, static_cast<size_t>(size), 0) == 0;
}

bool unsupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

}  // namespace

bool copyAttributes(int from, int to) {
    Block names;
    ssize_t length = readWhole([&](char* buffer, size_t room) { return flistxattr(from, buffer, room); }, names);
    if (length < 0) return unsupported(errno);
    bool all = true;
    int error = 0;
    for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(strlen(names.bytes + at)) + 1) {
        if (copyAttribute(from, to, names.bytes + at)) continue;
        all = false;
        error = errno;
    }
    errno = error;
    return all;
}

void copyAttributesWhereCan(const char* from, const char* to) {
    Fd source(::open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    Fd copy(::open(to, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (source.ok() && copy.ok()) copyAttributes(source.get(), copy.get());
}

}  // namespace store
