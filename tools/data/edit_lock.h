// The tool's side of the data folder's and data file's locks (store/folder_lock.h): before a
// file is changed, the exclusive locks on the folder holding it, on the folder holding that one
// (a host's working folder) and on the file it leads to are asked for without waiting. A running
// host's plug-in holds all three shared from start-up to shutdown, and passes the file's lock on
// to each new file it saves, so one of them is refused while any host will write the file,
// whatever name the tool is given for it, even in a "psdata" made or moved since the host
// started. A file in any other folder of a running host's working folder is refused too (a copy
// in /srv/host/backup while a host runs in /srv/host), and two edits in sibling folders exclude
// each other: both safe.
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

    // Asks for the exclusive lock on the folder that holds `file`, then on the folder that holds
    // that one as the path is given (made absolute: "." for "psdata/morvelt.ini", the working
    // folder of a host that uses it), then on the file `file` leads to through its links, and
    // checks that `file` still leads to the file locked. Anything but kLocked comes with a
    // message saying why, and holds nothing.
    LockResult lock(const std::string& file, std::string* why);

  private:
    void release();
    // Takes the exclusive lock on the folder that holds `folder` (the file's, locked already),
    // where that is another folder: a host running there holds it.
    LockResult lockHoldingFolder(const std::string& folder, std::string* why);

    int folderFd_ = -1;
    int holderFd_ = -1;
    int fileFd_ = -1;
};

}  // namespace simtool
