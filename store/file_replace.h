// Replacing a file's whole content without changing what the file is. Where a new file written
// beside it and renamed over it can be given all the process sees of the old one (a regular
// file with one name, whose owner, group, permission bits and extended attributes, its access
// control list among them, the new file can be given), the content is replaced that way,
// atomically and durably. Otherwise (a second hard link, a folder the process cannot write, an
// owner or an attribute it cannot give, no room for a second copy) the file is rewritten in
// place, which keeps it, through a redo journal (store/journal.h): after a crash part way,
// replayJournal finishes the rewrite. Only where no journal can be written anywhere is an
// in-place rewrite open to a crash. What the process cannot see is not kept by a rename:
// extended attributes it may not read (trusted.*, for a process without the privilege), and the
// inode's own number and times. Symbolic links are followed: the link stays and the file it
// leads to gets the content.
#pragma once

#include <stdint.h>

#include "store/file_status.h"
#include "store/paths.h"

namespace store {

// The new content of a file.
struct Content {
    // Writes the whole content at the descriptor's offset; 0, or the errno of the failure.
    int (*write)(int fd);
    // The content's length in bytes: exactly what `write` writes.
    uint64_t (*size)();
    // Where set, called with the new file's path just before it is renamed over the file, and
    // then told whether the rename took place: for a lock that passes from the old file to the
    // new one with no moment between.
    void (*beforeRename)(const char* newPath) = nullptr;
    void (*afterRename)(bool renamed) = nullptr;
};

struct ReplaceResult {
    int error = 0;             // 0: the file holds the content; else the errno of the failure
    bool backupTried = false;  // a backup was wanted and there was a file to keep
    int backupError = 0;       // where tried: 0, or the errno of the failure
    bool unjournaled = false;  // rewritten in place (whole or part way) without a journal: none
                               // could be written
    int journalError = 0;      // where unjournaled: the errno of the last place's failure
    bool written = false;      // error is 0 and `status` is known
    FileStatus status;         // where written: the file that holds the content, as left
                               // (last: the tool, built with 64-bit times, sees another layout)
};

// Replaces the content of the file at `path` with `content`. A symbolic link is followed to the
// file it leads to, which is created if it does not exist yet. With `makeBackup`, the file's
// present content is first kept at `backupPath` (a second link to it where the file is then
// replaced by rename, else a copy with its owner, group and permission bits, and its extended
// attributes where they can be given), replacing what is there; a backup that cannot be made does not hold the replacement back.
//
// Stray entries that a crash may have left at the temporary names (the file's NAME.tmp, the
// backup's NAME.tmp, journals of this file) are removed before the way of replacing is chosen.
//
// On failure no temporary file is left and the file is as it was, except after an in-place
// rewrite that failed once the file had room for the new content (an I/O error part way): its
// journal is then kept, for replayJournal to finish the rewrite. Where nothing has room for the
// new content, the file stays as it was.
ReplaceResult replaceFile(const char* path, const Content& content, const char* backupPath, bool makeBackup);

enum class Replay {
    kNone,      // no complete, trusted journal for the file was pending
    kReplayed,  // one was, and the file now holds its text
    kFailed,    // one was, and could not be written into the file: it is kept
};

struct ReplayResult {
    Replay outcome = Replay::kNone;
    int error = 0;      // where kFailed: the errno of the failure
    Path journal = {};  // where replayed or failed: the journal's path
};

// Finishes an in-place rewrite of the file at `path` (links followed) that a crash cut short:
// a complete, trusted journal for the file (store/journal.h) is written into it, flushed, and
// removed. Partial journals of the file are removed: the file was not touched yet.
ReplayResult replayJournal(const char* path);

// Whether a complete, trusted journal for the file at `path` (links followed) is pending, one
// that replayJournal would replay; sets `journal` to its path.
bool journalPending(const char* path, Path& journal);

}  // namespace store
