// The shared locks on the working folder, the data folder and the data file.
#include "store/folder_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/data_file.h"
#include "store/file_status.h"
#include "store/notices.h"

namespace store {

namespace {

int workFd = -1;     // the open working folder while its lock is held
int folderFd = -1;   // the open data folder while its lock is held
int fileFd = -1;     // the open data file while its lock is held
int pendingFd = -1;  // a new data file, locked, while it is renamed over the old one

constexpr int kLockTries = 40;            // how often a start-up asks while an edit holds a lock
constexpr useconds_t kLockPause = 50000;  // microseconds between two tries: 2 s in all

// Takes the shared lock on `fd`, asking again while a tool holds it exclusively as long as
// `triesLeft` allows, so that an edit in progress is finished before the file is read but a
// lock that is never given back cannot stall the host. 0, or the errno of the last try.
int lockShared(int fd, int& triesLeft) {
    for (;;) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || --triesLeft <= 0) return errno;
        ::usleep(kLockPause);
    }
}

// Whether `path`, through its links, still leads to the open file `fd`.
bool leadsTo(const char* path, int fd) {
    FileStatus atPath, opened;
    return statPath(path, &atPath) == 0 && statDescriptor(fd, &opened) == 0 && atPath.st_dev == opened.st_dev &&
           atPath.st_ino == opened.st_ino;
}

// Opens `path` (through its links, never waiting on a FIFO) with `flags` added, and takes the
// shared lock on what it opened once `path` is seen to still lead there after the lock. The
// descriptor, or -1: nothing there of the kind `flags` and `kind` ask for (a folder for
// O_DIRECTORY; kind S_IFREG for a regular file), or no lock within `triesLeft` (logged, naming
// it `shown`).
int lockPath(const char* path, const char* shown, int flags, mode_t kind, int& triesLeft) {
    for (;;) {
        int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
        if (fd < 0) return -1;
        FileStatus status;
        int error = statDescriptor(fd, &status) != 0 || (kind != 0 && (status.st_mode & S_IFMT) != kind)
                        ? EINVAL
                        : lockShared(fd, triesLeft);
        if (error == 0 && leadsTo(path, fd)) return fd;
        ::close(fd);
        if (error == EWOULDBLOCK) logLocked(shown);
        if (error != 0 || --triesLeft <= 0) return -1;  // a path that keeps changing: no lock
    }
}

void closeHeld(int& fd) {
    if (fd >= 0) ::close(fd);  // closing gives the lock back
    fd = -1;
}

}  // namespace

void holdDataFolder() {
    releaseDataFolder();
    int triesLeft = kLockTries;
    workFd = lockPath(".", "the working folder", O_DIRECTORY, 0, triesLeft);
    if (triesLeft > 0) folderFd = lockPath(kDataDir, kDataDir, O_DIRECTORY, 0, triesLeft);
    if (triesLeft > 0) fileFd = lockPath(kDataPath, kDataPath, 0, S_IFREG, triesLeft);
}

void lockNewDataFile(const char* path) {
    closeHeld(pendingFd);
    pendingFd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (pendingFd >= 0 && ::flock(pendingFd, LOCK_SH | LOCK_NB) != 0) closeHeld(pendingFd);
}

void passDataFileLock(bool renamed) {
    if (!renamed) {
        closeHeld(pendingFd);
        return;
    }
    closeHeld(fileFd);
    fileFd = pendingFd;
    pendingFd = -1;
}

void releaseDataFolder() {
    closeHeld(workFd);
    closeHeld(folderFd);
    closeHeld(fileFd);
    closeHeld(pendingFd);
}

}  // namespace store
