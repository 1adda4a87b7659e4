// The tool's side of the data folder's and data file's locks.
#include "tools/data/edit_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/common/folder_owner.h"

namespace simtool {

namespace {

// Opens `path` with `flags` added (never waiting on a FIFO) and takes its exclusive lock without
// waiting; `what` names it in messages. kLocked with the descriptor in `fd`, or why not
// (kNotOpened where `path` cannot be opened).
LockResult lockExclusive(const std::string& path, int flags, const std::string& what, int* fd, std::string* why) {
    *fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (*fd < 0) {
        *why = "cannot open " + what + " to lock it: " + strerror(errno);
        return LockResult::kNotOpened;
    }
    if (flock(*fd, LOCK_EX | LOCK_NB) == 0) return LockResult::kLocked;
    int error = errno;
    close(*fd);
    *fd = -1;
    if (error == EWOULDBLOCK) {
        *why = "a running host holds " + what + " (the plug-in locks it from start-up to shutdown)";
        return LockResult::kHostRunning;
    }
    *why = "cannot lock " + what + " to make sure no host runs there: " + strerror(error);
    return LockResult::kNotLockable;
}

// Whether `path`, through its links, leads to the open file `fd`.
bool leadsTo(const std::string& path, int fd) {
    struct stat atPath, opened;
    return stat(path.c_str(), &atPath) == 0 && fstat(fd, &opened) == 0 && atPath.st_dev == opened.st_dev &&
           atPath.st_ino == opened.st_ino;
}

// The folder that holds `folder` as the path is given, not through its links: the folder of its
// absolute path once trailing "/" and "." are left out ("" for the root). False where the
// working folder cannot be told.
bool holdingFolder(const std::string& folder, std::string* holder) {
    std::string path = folder;
    if (path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) return false;
        path = std::string(cwd) + "/" + path;
        free(cwd);
    }
    for (;;) {
        size_t size = path.size();
        if (size > 1 && path[size - 1] == '/') path.pop_back();
        else if (size > 1 && path.compare(size - 2, 2, "/.") == 0) path.resize(size - 2);
        else break;
    }
    if (path.empty() || path == "/") {
        holder->clear();
    } else {
        bool up = path.size() >= 3 && path.compare(path.size() - 3, 3, "/..") == 0;
        *holder = up ? path + "/.." : folderOf(path);
    }
    return true;
}

// Whether the paths `a` and `b` lead to the same file.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat atA, atB;
    return stat(a.c_str(), &atA) == 0 && stat(b.c_str(), &atB) == 0 && atA.st_dev == atB.st_dev &&
           atA.st_ino == atB.st_ino;
}

}  // namespace

EditLock::~EditLock() { release(); }

void EditLock::release() {
    if (folderFd_ >= 0) close(folderFd_);
    if (holderFd_ >= 0) close(holderFd_);
    if (fileFd_ >= 0) close(fileFd_);
    folderFd_ = holderFd_ = fileFd_ = -1;
}

LockResult EditLock::lockHoldingFolder(const std::string& folder, std::string* why) {
    std::string holder;
    if (!holdingFolder(folder, &holder)) {
        *why = std::string("cannot tell the folder that holds its folder ") + folder + ": " + strerror(errno);
        return LockResult::kNotLockable;
    }
    if (holder.empty() || sameFile(holder, folder)) return LockResult::kLocked;  // locked already
    LockResult result =
        lockExclusive(holder, O_DIRECTORY, "the folder " + holder + " that holds its folder " + folder, &holderFd_, why);
    return result == LockResult::kNotOpened ? LockResult::kNotLockable : result;
}

LockResult EditLock::lock(const std::string& file, std::string* why) {
    std::string folder = folderOf(file);
    LockResult result = lockExclusive(folder, O_DIRECTORY, "its folder " + folder, &folderFd_, why);
    if (result == LockResult::kNotOpened) result = LockResult::kNotLockable;  // its files may still be writable
    if (result == LockResult::kLocked) result = lockHoldingFolder(folder, why);
    if (result == LockResult::kLocked) result = lockExclusive(file, 0, "the file", &fileFd_, why);
    if (result == LockResult::kLocked && !leadsTo(file, fileFd_)) {
        *why = "the file was replaced while it was being locked (a running host saving it?)";
        result = LockResult::kHostRunning;
    }
    if (result != LockResult::kLocked) release();
    return result;
}

}  // namespace simtool
