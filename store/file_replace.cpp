// Replacing a file's content: by a new file renamed over it, or in place.
#include "store/file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/attributes.h"
#include "store/fd.h"
#include "store/file_status.h"
#include "store/journal.h"
#include "store/paths.h"

namespace store {

namespace {

constexpr char kTempSuffix[] = ".tmp";  // the new content's name until it is renamed
constexpr int kLinksFollowed = 40;      // as many symbolic links as the kernel follows in a path
constexpr int kRewriteInPlace = -1;     // a new file cannot be what the old one was
constexpr size_t kBlock = 16 * 1024;    // bytes moved per call when copying or extending

// The file a path leads to.
struct Target {
    Path path;           // through every symbolic link: never a link itself
    bool exists = false;
    FileStatus status;   // where it exists
};

// Replaces `link`, the path of a symbolic link, with the path the link holds, taken from the
// link's real folder where it is relative. 0 or an errno.
int followLink(Path& link) {
    Path held;
    ssize_t n = ::readlink(link.text, held.text, sizeof held.text);
    if (n < 0) return errno;
    if (static_cast<size_t>(n) == sizeof held.text) return ENAMETOOLONG;
    held.text[n] = '\0';
    if (held.text[0] == '/') {
        link = held;
        return 0;
    }
    Path folder, real;
    folderOf(link.text, folder);
    if (::realpath(folder.text, real.text) == nullptr) return errno;
    return join(link, real.text, "/", held.text) ? 0 : ENAMETOOLONG;
}

// Finds the file `path` leads to through its symbolic links. 0 or an errno.
int resolve(const char* path, Target& target) {
    Path current;
    if (!join(current, path, "", "")) return ENAMETOOLONG;
    for (int followed = 0; followed <= kLinksFollowed; ++followed) {
        if (statLink(current.text, &target.status) != 0) {
            if (errno != ENOENT) return errno;
            target.path = current;
            target.exists = false;
            return 0;
        }
        if (!S_ISLNK(target.status.st_mode)) {
            target.path = current;
            target.exists = true;
            return 0;
        }
        int error = followLink(current);
        if (error != 0) return error;
    }
    return ELOOP;
}

// Whether a file renamed over the target is, to everyone, the file it replaces: the target is a
// regular file whose only name is its path. A second name that is the backup counts as none:
// it is what a backup made by linking leaves when the rename after it fails.
bool renameKeepsIdentity(const Target& target, const char* backupPath) {
    if (!S_ISREG(target.status.st_mode)) return false;
    if (target.status.st_nlink == 1) return true;
    FileStatus backup;
    return target.status.st_nlink == 2 && statLink(backupPath, &backup) == 0 &&
           backup.st_dev == target.status.st_dev && backup.st_ino == target.status.st_ino;
}

// The permission bits a file made in place of `found` gets: found's, with owner read and write,
// so that the file stays readable to the process that saves it, and never the sticky bit.
mode_t keptMode(const FileStatus& found) { return (found.st_mode & 06777) | S_IRUSR | S_IWUSR; }

// Gives the new file `fd` the owner and group of `found` and keptMode(found). False (errno set)
// when it cannot.
bool takeIdentity(int fd, const FileStatus& found) {
    FileStatus made;
    if (statDescriptor(fd, &made) != 0) return false;
    if ((made.st_uid != found.st_uid || made.st_gid != found.st_gid) && ::fchown(fd, found.st_uid, found.st_gid) != 0)
        return false;
    return ::fchmod(fd, keptMode(found)) == 0;
}

// Gives the new file `fd` the target's extended attributes (store/attributes.h). False (errno
// set) when it cannot hold them all. REQUIRES: the new file has its owner and mode already.
bool takeAttributes(const Target& target, int fd) {
    Fd found(::open(target.path.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return found.ok() && copyAttributes(found.get(), fd);
}

bool lacksPermission(int error) { return error == EACCES || error == EPERM; }
bool lacksSpace(int error) { return error == ENOSPC || error == EDQUOT; }

// Notes in `result` the status of `fd`, the file just written with the content and flushed.
void noteWritten(ReplaceResult& result, int fd) { result.written = statDescriptor(fd, &result.status) == 0; }

// Whether an entry of another user stands at `path`: in a folder with the sticky bit, the
// process may not remove it.
bool othersEntryAt(const char* path) {
    FileStatus status;
    return statLink(path, &status) == 0 && status.st_uid != ::geteuid();
}

// Writes `content` to a new file at `temp`, flushed to disk, with the target's identity where
// the target exists, and notes its status in `result`. Returns 0, kRewriteInPlace where the
// target exists but the new file cannot be made like it (no permission in the folder, another
// user's entry at `temp`, an owner that cannot be given, no room), or an errno. Nothing of this
// process is left at `temp` unless it returns 0.
int writeNewFile(const Target& target, const char* temp, const Content& content, ReplaceResult& result) {
    Fd fd(createExclusive(temp, target.exists ? 0600 : 0666));
    if (!fd.ok()) {
        int error = errno;
        bool barred = lacksPermission(error) || (error == EEXIST && othersEntryAt(temp));
        return target.exists && barred ? kRewriteInPlace : error;
    }
    int error = 0;
    if (target.exists && !takeIdentity(fd.get(), target.status)) error = kRewriteInPlace;
    if (error == 0 && target.exists && !takeAttributes(target, fd.get())) error = kRewriteInPlace;
    if (error == 0) error = content.write(fd.get());
    if (error == 0 && ::fsync(fd.get()) != 0) error = errno;
    if (error == 0) noteWritten(result, fd.get());
    if (error == 0 && !fd.close()) error = errno;
    if (error == 0) return 0;
    ::unlink(temp);
    return target.exists && lacksSpace(error) ? kRewriteInPlace : error;
}

// Copies the target's content into a new file at `to`, flushed to disk, with the target's owner,
// group, keptMode and, where they can be given, extended attributes; where owner and group
// cannot be given, with the owner's bits alone (and no access control list to widen them).
// 0 or an errno.
int copyInto(const Target& target, const char* to) {
    Fd in(::open(target.path.text, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in.ok()) return errno;
    Fd out(createExclusive(to, 0600));
    if (!out.ok()) return errno;
    if (takeIdentity(out.get(), target.status))
        copyAttributes(in.get(), out.get());  // where it can: the backup is kept without them
    else if (::fchmod(out.get(), keptMode(target.status) & S_IRWXU) != 0)
        return errno;
    char buffer[kBlock];
    for (;;) {
        ssize_t n = ::read(in.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (!writeAll(out.get(), buffer, static_cast<size_t>(n))) return errno;
    }
    if (::fsync(out.get()) != 0 || !out.close()) return errno;
    return 0;
}

// Keeps the target's present content at `backupPath`, replacing what is there atomically: by a
// second link where `linkAllowed` and the link can be made, else by a copy. 0 or an errno.
int keepBackup(const Target& target, const char* backupPath, bool linkAllowed) {
    Path temp;
    if (!join(temp, backupPath, kTempSuffix, "")) return ENAMETOOLONG;
    ::unlink(temp.text);
    bool linked = linkAllowed && ::link(target.path.text, temp.text) == 0;
    int error = linked ? 0 : copyInto(target, temp.text);
    if (error == 0 && ::rename(temp.text, backupPath) != 0) error = errno;
    ::unlink(temp.text);  // left where the backup already was a link to the target
    if (error != 0) return error;
    syncFolderOf(backupPath);
    return 0;
}

// Writes zeros from byte `from` up to byte `to` of the file. 0 or an errno.
int extend(int fd, uint64_t from, uint64_t to) {
    static const char zeros[kBlock] = {};
    if (::lseek(fd, static_cast<off_t>(from), SEEK_SET) < 0) return errno;
    while (from < to) {
        size_t n = to - from < kBlock ? static_cast<size_t>(to - from) : kBlock;
        if (!writeAll(fd, zeros, n)) return errno;
        from += n;
    }
    return 0;
}

// Makes the open file `fd`, `oldSize` bytes long, at least `newSize` bytes long. Where that
// fails, cuts it back and sets `restored` when the cut worked. 0 or an errno.
int reserveRoom(int fd, uint64_t oldSize, uint64_t newSize, bool& restored) {
    restored = true;
    if (newSize <= oldSize) return 0;
    int error = extend(fd, oldSize, newSize);
    if (error != 0) restored = ::ftruncate(fd, static_cast<off_t>(oldSize)) == 0;
    return error;
}

// Writes `content` over the open file `fd` from its start, cuts the file to its length and
// flushes it. 0 or an errno.
int writeOver(int fd, const Content& content) {
    if (::lseek(fd, 0, SEEK_SET) != 0) return errno;
    int error = content.write(fd);
    if (error != 0) return error;
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0 || ::ftruncate(fd, end) != 0 || ::fsync(fd) != 0) return errno;
    return 0;
}

// Rewrites the target with `content` where it stands: the file keeps its inode, links, owner,
// group and mode. The new content first goes to a journal; where the content is longer, the
// file is then extended to its length (and cut back if that fails), so the old content is
// overwritten only once there is room; the file is rewritten from the journal, and the journal
// removed. Where no journal can be written, the file is rewritten straight from `content`, and
// `result` says so. A failure that leaves the file touched keeps the journal. Notes the file's
// status in `result`. 0 or an errno.
int rewriteInPlace(const Target& target, const Content& content, ReplaceResult& result) {
    Fd fd(::open(target.path.text, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) return errno;
    FileStatus found;
    if (statDescriptor(fd.get(), &found) != 0) return errno;
    Journal journal;
    int journalError = journal.write(target.path.text, found, content);
    bool restored;
    int error = reserveRoom(fd.get(), static_cast<uint64_t>(found.st_size), content.size(), restored);
    if (error != 0) {
        if (restored) journal.remove();
        return error;
    }
    result.unjournaled = journalError != 0;
    result.journalError = journalError;
    error = result.unjournaled ? writeOver(fd.get(), content) : journal.applyTo(fd.get());
    if (error != 0) return error;
    noteWritten(result, fd.get());
    if (!fd.close()) return errno;
    journal.remove();
    return 0;
}

// Removes what a crash may have left at the temporary names of the target and of `backupPath`,
// and the target's journals: replayJournal at start-up has replayed whatever it trusts, so any
// still there are stale or not this program's.
void removeStrays(const Target& target, const char* backupPath) {
    Path temp;
    if (join(temp, target.path.text, kTempSuffix, "")) ::unlink(temp.text);
    if (join(temp, backupPath, kTempSuffix, "")) ::unlink(temp.text);
    if (target.exists && S_ISREG(target.status.st_mode)) removeJournals(target.path.text, target.status);
}

// Notes the outcome of a backup in `result`.
void noteBackup(ReplaceResult& result, int error) {
    result.backupTried = true;
    result.backupError = error;
}

// replaceFile, except that `written` may be left set after a failure.
ReplaceResult replace(const char* path, const Content& content, const char* backupPath, bool makeBackup) {
    ReplaceResult result;
    Target target;
    result.error = resolve(path, target);
    if (result.error != 0) return result;
    removeStrays(target, backupPath);
    result.error = resolve(path, target);  // the target's links, as the removal left them
    if (result.error != 0) return result;
    makeBackup = makeBackup && target.exists && S_ISREG(target.status.st_mode);
    if (!target.exists || renameKeepsIdentity(target, backupPath)) {
        Path temp;
        if (!join(temp, target.path.text, kTempSuffix, "")) {
            result.error = ENAMETOOLONG;
            return result;
        }
        int error = writeNewFile(target, temp.text, content, result);
        if (error == 0) {
            if (makeBackup) noteBackup(result, keepBackup(target, backupPath, true));
            if (content.beforeRename != nullptr) content.beforeRename(temp.text);
            result.error = ::rename(temp.text, target.path.text) == 0 ? 0 : errno;
            if (content.afterRename != nullptr) content.afterRename(result.error == 0);
            if (result.error != 0) {
                ::unlink(temp.text);
                return result;
            }
            syncFolderOf(target.path.text);
            return result;
        }
        if (error != kRewriteInPlace) {
            result.error = error;
            return result;
        }
    }
    if (makeBackup) noteBackup(result, keepBackup(target, backupPath, false));
    result.error = rewriteInPlace(target, content, result);
    return result;
}

}  // namespace

ReplaceResult replaceFile(const char* path, const Content& content, const char* backupPath, bool makeBackup) {
    ReplaceResult result = replace(path, content, backupPath, makeBackup);
    if (result.error != 0) result.written = false;  // a status taken before the failure
    return result;
}

ReplayResult replayJournal(const char* path) {
    ReplayResult result;
    Target target;
    if (resolve(path, target) != 0 || !target.exists || !S_ISREG(target.status.st_mode)) return result;
    Journal journal;
    if (!journal.find(target.path.text, target.status, true)) return result;
    join(result.journal, journal.path(), "", "");
    result.outcome = Replay::kFailed;
    Fd fd(::open(target.path.text, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    FileStatus opened;
    if (!fd.ok() || statDescriptor(fd.get(), &opened) != 0) {
        result.error = errno;
        return result;
    }
    if (opened.st_dev != target.status.st_dev || opened.st_ino != target.status.st_ino) {
        result.error = ESTALE;  // replaced since it was looked at: replayed at the next start-up
        return result;
    }
    result.error = journal.applyTo(fd.get());
    if (result.error == 0 && !fd.close()) result.error = errno;
    if (result.error != 0) return result;
    journal.remove();
    result.outcome = Replay::kReplayed;
    return result;
}

bool journalPending(const char* path, Path& journal) {
    Target target;
    if (resolve(path, target) != 0 || !target.exists || !S_ISREG(target.status.st_mode)) return false;
    Journal found;
    if (!found.find(target.path.text, target.status, false)) return false;
    return join(journal, found.path(), "", "");
}

}  // namespace store
