// The shared lock on the data folder.
#include "store/folder_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "store/data_file.h"
#include "store/notices.h"

namespace store {

namespace {

int folderFd = -1;  // the open data folder while the lock is held

constexpr int kLockTries = 40;            // how often a start-up asks while an edit holds the lock
constexpr useconds_t kLockPause = 50000;  // microseconds between two tries: 2 s in all

// Takes the shared lock on `fd`, waiting a bounded time while a tool holds it exclusively, so
// that an edit in progress is finished before the file is read but a lock that is never given
// back cannot stall the host. 0, or the errno of the last try.
int lockShared(int fd) {
    for (int tries = 1;; ++tries) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || tries == kLockTries) return errno;
        ::usleep(kLockPause);
    }
}

}  // namespace

void holdDataFolder() {
    releaseDataFolder();
    int fd = ::open(kDataDir, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    int error = lockShared(fd);
    if (error != 0) {
        if (error == EWOULDBLOCK) logFolderLocked();
        ::close(fd);
        return;
    }
    folderFd = fd;
}

void releaseDataFolder() {
    if (folderFd < 0) return;
    ::close(folderFd);  // closing gives the lock back
    folderFd = -1;
}

}  // namespace store
