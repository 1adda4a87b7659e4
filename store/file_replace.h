// Replacing a file's whole content without changing what the file is. Where a new file written
// beside it and renamed over it is the same file for everyone who holds it (a regular file with
// one name, whose owner, group and permission bits the new file can be given), the content is
// replaced that way, atomically and durably. Otherwise (a second hard link, a folder the process
// cannot write, an owner it cannot give away, no room for a second copy) the file is rewritten
// in place, which keeps it but is not safe against a crash part way. Symbolic links are
// followed: the link stays and the file it leads to gets the content.
#pragma once

#include <stdint.h>

#include "store/file_status.h"

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
    bool written = false;      // error is 0 and `status` is known
    FileStatus status;         // where written: the file that holds the content, as left
};

// Replaces the content of the file at `path` with `content`. A symbolic link is followed to the
// file it leads to, which is created if it does not exist yet. With `makeBackup`, the file's
// present content is first kept at `backupPath` (a second link to it where the file is then
// replaced by rename, else a copy with its owner, group and permission bits), replacing what is
// there; a backup that cannot be made does not hold the replacement back.
//
// On failure no temporary file is left and the file is as it was, except after an in-place
// rewrite that failed once the file had room for the new content (an I/O error part way).
// Where nothing has room for the new content, the file stays as it was.
ReplaceResult replaceFile(const char* path, const Content& content, const char* backupPath, bool makeBackup);

}  // namespace store
