// Lines in the host's log, under the source "Morvelt", for what an operator must act on: a data
// file that cannot be read or saved, a backup that cannot be made, a save cut short by a crash
// and finished from its journal (or not), a save that had no journal, a variable name that the
// data file cannot carry or that is kept cut, and a clock that gives no time. Each line names
// the file with the C library's text for the error, or the name as given. File and user text is
// only ever passed as an argument, never as a format.
#pragma once

namespace store {

// Start-up found the data file but could not read it: nothing is saved until a restart.
void logUnreadable(int error);

// Start-up found at the data path something other than a regular file (a FIFO, a device, a
// folder), of type `mode`: nothing is read from it, and nothing is saved until a restart.
void logNotRegular(unsigned mode);

// Start-up finished a save that a crash cut short, from the journal at `journal`.
void logJournalReplayed(const char* journal);

// Start-up could not finish a save that a crash cut short from the journal at `journal`: the
// journal is kept, and nothing is saved until a restart.
void logReplayFailed(const char* journal, int error);

// A save rewrote the data file in place without a journal, as none could be written anywhere.
void logNoJournal(int error);

// Saving failed, for the first time since it last worked.
void logSaveFailed(int error);

// Saving worked after a failure that was logged.
void logSaveWorks();

// The file found at start-up could not be kept as the backup.
void logBackupFailed(int error);

// Start-up could not take the shared lock on `path`, the data folder or the data file: another
// program holds it exclusively.
void logLocked(const char* path);

// No clock answered: stamps stand still and records are not expired until one does.
void logClockSilent();

// A clock answers again after logClockSilent.
void logClockAnswers();

// A variable name was refused; control characters in it are shown escaped.
void logRefusedName(const char* name);

// A variable name `given` is kept cut to `kept`; `shared` where another argument is kept as the
// same variable. Control characters are shown escaped.
void logCutName(const char* given, const char* kept, bool shared);

}  // namespace store
