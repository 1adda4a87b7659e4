// The shared lock on the data folder.
#include "store/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "store/data_file.h"

namespace store {

namespace {
int folderFd = -1;  // the open data folder while the lock is held
}

void holdDataFolder() {
    releaseDataFolder();
    int fd = ::open(kDataDir, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    if (::flock(fd, LOCK_SH) != 0) {
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
