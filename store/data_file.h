// The data file "psdata/morvelt.ini": every record as a header line "[KEYNAME:STAMP]" (the key
// name, the stamp as 10 zero-padded digits) followed by one "name=value" line per variable in
// index order, each line ending with a line feed. docs/DATA_FILE.md describes it for operators.
#pragma once

#include "store/file_replace.h"

namespace store {

constexpr char kDataDir[] = "psdata";
constexpr char kDataPath[] = "psdata/morvelt.ini";
constexpr char kBackupPath[] = "psdata/morvelt.ini.bak";  // the file as start-up found it

enum class LoadResult {
    kRead,        // the file was read to its end
    kMissing,     // there is no file (or a symbolic link that leads nowhere): nothing to keep
    kUnreadable,  // the file exists but is not a regular file, or could not be opened, read to
                  // its end, or held whole (no memory for one of its records)
};

// Finishes first a save that a crash cut short, from its journal (store/file_replace.h,
// replayJournal); where that fails (logged), the file is read as it is and no save of this run
// touches it. Then reads the data file into the record table: headers find or create records,
// variable lines set values of the current record. Only a regular file is read (a FIFO or a
// device never blocks start-up). Records read before a read error stay; a record that cannot
// be made (no memory) is left out and the rest is read. Sets up the saves of this run: after
// kRead, the first save keeps the file found at kBackupPath; after kUnreadable (logged), no
// save of this run touches the file.
LoadResult loadStats();

// Replaces the content of the data file with the tables' text, keeping the file's identity
// (store/file_replace.h tells how: by rename where that keeps it, atomically and durably, else
// in place). The first save of a run always writes, and first keeps the file found at start-up
// as the backup, once; a backup that cannot be made is logged and does not hold the save back.
// A later save writes nothing when the file holds the text already: nothing changed in the
// tables (store/records.h, noteChange) since this run's last save worked, and the file at the
// data path, through its symbolic links, is still the one that save left (same device, inode,
// size and modification time). Returns false when the file does not hold the tables' text:
// the run's saves are suspended, or the save failed (logged when it is the first failure since
// saving last worked; the next success is logged too).
bool saveStats();

// What saveStats does to the data file without its bookkeeping or log lines: replaces the content
// of the file at `path` with the tables' text, keeping the file's identity (store/file_replace.h),
// after keeping its present content at `backupPath` where `makeBackup`. For a tool that edits
// a stopped server's file.
ReplaceResult saveStatsTo(const char* path, const char* backupPath, bool makeBackup);

// Forgets the run's save state, at shutdown.
void resetSaveState();

}  // namespace store
