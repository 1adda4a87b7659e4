// The redo journal of an in-place rewrite. Before a file is rewritten where it stands, its whole
// new text goes to a journal, flushed with the journal's folder; the file is then rewritten from
// the journal, and the journal removed. A crash part way through the rewrite leaves a complete
// journal, which the next start-up replays into the file before it reads it; a crash while the
// journal is written leaves a partial one and the file untouched.
//
// A journal is a file of its own (numbers little-endian):
//   "morvelt journal\n"   16 bytes
//   device, inode         8 bytes each: the file the text is for
//   text length           8 bytes
//   path length           4 bytes, then the path: the file's absolute path, links followed
//   text
//   CRC-32                4 bytes, of every byte before it
// It is complete when its size and CRC-32 agree with its header.
//
// Where journals stand, tried in this order: the file's own folder (links followed), as
// "NAME.journal", where that folder is the process's user's and nobody else may add, rename or
// remove entries in it; then a private folder "morvelt-UID" (mode 0700, not a link) in $TMPDIR
// (read only where the process runs with its own user and group), /var/tmp and /tmp, as
// "DEVICE-INODE.journal". A journal is trusted only in such a folder, as a regular file with one
// link, owned by the process's user, with mode 0600, naming the file by path, device and inode.
#pragma once

#include <stdint.h>

#include "store/fd.h"
#include "store/file_replace.h"
#include "store/file_status.h"
#include "store/paths.h"

namespace store {

// One journal, open.
class Journal {
  public:
    Journal() = default;
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Writes `content` as the new text of the regular file at `path` (no symbolic link) with
    // status `file` to a new journal, in the first place that takes it, flushed with its folder.
    // 0, or the errno of the last place's failure (nothing is left behind then).
    int write(const char* path, const FileStatus& file, const Content& content);

    // Opens the complete, trusted journal for the file at `path` (no symbolic link) with status
    // `file`, in the first place that holds one. Partial journals met on the way are removed
    // where `discardPartial`. False when there is none.
    bool find(const char* path, const FileStatus& file, bool discardPartial);

    // Writes the journal's text over the open file `fd` from its start, cuts the file to the
    // text's length and flushes it. 0, or an errno.
    int applyTo(int fd) const;

    // Removes the journal, durably.
    void remove();

    const char* path() const { return path_.text; }

  private:
    Fd fd_{-1};
    Path path_;                // where the journal stands
    uint64_t textStart_ = 0;   // the text's offset in the journal
    uint64_t textLength_ = 0;
};

// Removes every journal this process would write for the file at `path` with status `file`:
// what earlier saves left once start-up has replayed what it trusts.
void removeJournals(const char* path, const FileStatus& file);

}  // namespace store
