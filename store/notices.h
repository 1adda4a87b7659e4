// Lines in the host's log, under the source "Morvelt", for what an operator must act on: a data
// file that cannot be read or saved, a backup that cannot be made, and a variable name that the
// data file cannot carry. Each line names the file with the C library's text for the error, or
// the name as given. File and user text is only ever passed as an argument, never as a format.
#pragma once

namespace store {

// Start-up found the data file but could not read it: nothing is saved until a restart.
void logUnreadable(int error);

// Saving failed, for the first time since it last worked.
void logSaveFailed(int error);

// Saving worked after a failure that was logged.
void logSaveWorks();

// The file found at start-up could not be kept as the backup.
void logBackupFailed(int error);

// Start-up could not take the shared lock on `path`, the data folder or the data file: another
// program holds it exclusively.
void logLocked(const char* path);

// A variable name was refused; control characters in it are shown escaped.
void logRefusedName(const char* name);

}  // namespace store
