// The tool's side of the data folder's lock.
#include "tools/data/edit_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

namespace simtool {

namespace {

// The folder holding `file`, as a path.
std::string folderOf(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

}  // namespace

EditLock::~EditLock() {
    if (fd_ >= 0) close(fd_);
}

LockResult EditLock::lock(const std::string& file, std::string* why) {
    std::string folder = folderOf(file);
    int fd = open(folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = "cannot open its folder " + folder + " to lock it: " + strerror(errno);
        return LockResult::kNotLockable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return LockResult::kLocked;
    }
    int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
        *why = "a running host holds its folder " + folder + " (the plug-in locks it from start-up to shutdown)";
        return LockResult::kHostRunning;
    }
    *why = "cannot lock its folder " + folder + " to make sure no host runs there: " + strerror(error);
    return LockResult::kNotLockable;
}

}  // namespace simtool
