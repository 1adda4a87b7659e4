// The tool's side of the data folder's lock: before a file is changed, the exclusive lock on the
// folder holding it is asked for without waiting. A running host's plug-in holds the shared lock
// from start-up to shutdown, so the exclusive one is refused while any host runs there.
#pragma once

#include <string>

namespace simtool {

enum class LockResult {
    kLocked,       // held until the EditLock goes
    kHostRunning,  // a host holds the folder
    kNotLockable,  // the lock cannot be asked for at all (some network file systems)
};

class EditLock {
  public:
    EditLock() = default;
    ~EditLock();
    EditLock(const EditLock&) = delete;
    EditLock& operator=(const EditLock&) = delete;

    // Asks for the exclusive lock on the folder that holds `file`. Anything but kLocked comes
    // with a message saying why.
    LockResult lock(const std::string& file, std::string* why);

  private:
    int fd_ = -1;
};

}  // namespace simtool
