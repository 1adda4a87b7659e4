// The tool's side of the data folder's and data file's locks (store/folder_lock.h): before a
// file is changed, the exclusive locks on the folder holding it and on the file it leads to are
// asked for without waiting. A running host's plug-in holds both shared from start-up to
// shutdown, and passes the file's lock on to each new file it saves, so one of them is refused
// while any host will write the file, whatever name the tool is given for it.
#pragma once

#include <string>

namespace simtool {

enum class LockResult {
    kLocked,       // held until the EditLock goes
    kHostRunning,  // a host holds the folder or the file, or was saving the file meanwhile
    kNotLockable,  // a lock cannot be asked for at all (some network file systems)
    kNotOpened,    // the file itself cannot be opened (no permission): there is nothing to edit
};

class EditLock {
  public:
    EditLock() = default;
    ~EditLock();
    EditLock(const EditLock&) = delete;
    EditLock& operator=(const EditLock&) = delete;

    // Asks for the exclusive lock on the folder that holds `file`, then on the file `file` leads
    // to through its links, and checks that `file` still leads to the file locked. Anything but
    // kLocked comes with a message saying why, and holds nothing.
    LockResult lock(const std::string& file, std::string* why);

  private:
    void release();

    int folderFd_ = -1;
    int fileFd_ = -1;
};

}  // namespace simtool
