// The redo journal of an in-place rewrite: where journals stand, writing one, and finding,
// checking and applying one.
#include "store/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace store {

namespace {

constexpr char kMagic[] = "morvelt journal\n";
constexpr size_t kMagicSize = sizeof kMagic - 1;
constexpr size_t kFixedHeader = kMagicSize + 8 + 8 + 8 + 4;  // up to the path
constexpr size_t kTrailer = 4;                               // the CRC-32
constexpr size_t kMoveBlock = 64 * 1024;                     // bytes moved per call
constexpr char kJournalSuffix[] = ".journal";
constexpr int kPlaces = 4;  // the file's folder, $TMPDIR, /var/tmp, /tmp

// ---------------------------------------------------------------------------------------------
// CRC-32 (the polynomial of zlib and PNG)

struct CrcTable {
    uint32_t entry[256];
    constexpr CrcTable() : entry() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[i] = c;
        }
    }
};
constexpr CrcTable kCrc;

// Continues the CRC-32 `crc` (0 to start) over `size` bytes at `data`.
uint32_t crc32(uint32_t crc, const unsigned char* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = kCrc.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void put(unsigned char* at, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t get(const unsigned char* at, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

// A buffer for moving a journal's bytes, from the heap: the host's stack may be small.
struct MoveBuffer {
    unsigned char* bytes = static_cast<unsigned char*>(malloc(kMoveBlock));
    MoveBuffer() = default;
    MoveBuffer(const MoveBuffer&) = delete;
    MoveBuffer& operator=(const MoveBuffer&) = delete;
    ~MoveBuffer() { free(bytes); }
};

// Reads exactly `size` bytes at `offset` of `fd`. 0, or an errno (EIO where the file ends).
int readAt(int fd, uint64_t offset, unsigned char* data, size_t size) {
    while (size != 0) {
        ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 0;
}

// The CRC-32 of the first `size` bytes of `fd`, in `crc`. 0, or an errno.
int crcOfFile(int fd, uint64_t size, uint32_t& crc) {
    MoveBuffer buffer;
    if (buffer.bytes == nullptr) return ENOMEM;
    crc = 0;
    for (uint64_t done = 0; done < size;) {
        size_t n = size - done < kMoveBlock ? static_cast<size_t>(size - done) : kMoveBlock;
        int error = readAt(fd, done, buffer.bytes, n);
        if (error != 0) return error;
        crc = crc32(crc, buffer.bytes, n);
        done += n;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Places

// Sets `out` to the absolute path of the file at `path`, its folder's links followed. 0, or an
// errno.
int absolutePath(const char* path, Path& out) {
    Path folder, real;
    folderOf(path, folder);
    if (::realpath(folder.text, real.text) == nullptr) return errno;
    return join(out, strcmp(real.text, "/") == 0 ? "" : real.text, "/", baseName(path)) ? 0 : ENAMETOOLONG;
}

// Whether the folder at `folder` (no symbolic link in it) may hold the journal of a file in it:
// the process's user owns it and nobody else may add, rename or remove entries. Read and search
// bits for others are allowed: the journal itself is readable by its owner only.
bool fileFolderTrusted(const char* folder) {
    FileStatus status;
    return statLink(folder, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
           (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Whether `folder` is a private folder of the process's user: a folder, not a link to one, of
// the process's user, with mode 0700.
bool privateFolderTrusted(const char* folder) {
    FileStatus status;
    return statLink(folder, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
           (status.st_mode & 07777) == 0700;
}

// $TMPDIR where the process runs with its own user and group (a set-user-ID or set-group-ID
// program must not take a folder from its caller), and it is an absolute path; else null.
const char* tmpdir() {
    if (::getuid() != ::geteuid() || ::getgid() != ::getegid()) return nullptr;
    const char* value = ::getenv("TMPDIR");
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

// The places for the journal of the file at `path` (absolute, in `absolute`) with status
// `file`, in order: each the journal's path and whether its folder is the file's own.
struct Place {
    Path journal;
    bool fileFolder = false;
};

// Sets the journal's path in the private folder under `base`; false when too long.
bool privatePlace(const char* base, const FileStatus& file, Place& place) {
    char name[80];
    snprintf(name, sizeof name, "/morvelt-%lu/%llu-%llu%s", static_cast<unsigned long>(::geteuid()),
             static_cast<unsigned long long>(file.st_dev), static_cast<unsigned long long>(file.st_ino),
             kJournalSuffix);
    return join(place.journal, strcmp(base, "/") == 0 ? "" : base, name, "");
}

// Fills `places` for the file at `absolute`; returns how many there are.
int journalPlaces(const char* absolute, const FileStatus& file, Place (&places)[kPlaces]) {
    int count = 0;
    if (join(places[count].journal, absolute, kJournalSuffix, "")) places[count++].fileFolder = true;
    const char* bases[] = {tmpdir(), "/var/tmp", "/tmp"};
    for (const char* base : bases) {
        if (base == nullptr) continue;
        Place place;
        if (!privatePlace(base, file, place)) continue;
        bool seen = false;
        for (int i = 0; i < count; ++i) seen = seen || strcmp(places[i].journal.text, place.journal.text) == 0;
        if (!seen) places[count++] = place;
    }
    return count;
}

// Whether the folder of `place` may hold a journal: where it is a private folder, it is made
// first when missing.
bool folderUsable(const Place& place, bool make) {
    Path folder;
    folderOf(place.journal.text, folder);
    if (place.fileFolder) return fileFolderTrusted(folder.text);
    if (make && ::mkdir(folder.text, 0700) == 0) ::chmod(folder.text, 0700);  // whatever the umask took
    return privateFolderTrusted(folder.text);
}

// Whether the open journal `fd` is trusted as a file: regular, one link, the process's user's,
// mode 0600. Sets `size` to its size.
bool journalFileTrusted(int fd, uint64_t& size) {
    FileStatus status;
    if (statDescriptor(fd, &status) != 0) return false;
    size = static_cast<uint64_t>(status.st_size);
    return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == ::geteuid() &&
           (status.st_mode & 07777) == 0600;
}

// ---------------------------------------------------------------------------------------------
// Writing

// The journal's header for `absolute` with status `file` and a text of `length` bytes, in
// `header`; its size.
size_t makeHeader(unsigned char* header, const char* absolute, const FileStatus& file, uint64_t length) {
    size_t pathLength = strlen(absolute);
    memcpy(header, kMagic, kMagicSize);
    put(header + kMagicSize, static_cast<uint64_t>(file.st_dev), 8);
    put(header + kMagicSize + 8, static_cast<uint64_t>(file.st_ino), 8);
    put(header + kMagicSize + 16, length, 8);
    put(header + kMagicSize + 24, pathLength, 4);
    memcpy(header + kFixedHeader, absolute, pathLength);
    return kFixedHeader + pathLength;
}

// Writes the journal into the new, empty file `fd`: header, text, CRC-32; then flushes it.
// Sets `textStart` and `textLength`. 0, or an errno.
int fillJournal(int fd, const char* absolute, const FileStatus& file, const Content& content, uint64_t& textStart,
                uint64_t& textLength) {
    unsigned char header[kFixedHeader + PATH_MAX];
    textLength = content.size();
    textStart = makeHeader(header, absolute, file, textLength);
    if (!writeAll(fd, reinterpret_cast<const char*>(header), textStart)) return errno;
    int error = content.write(fd);
    if (error != 0) return error;
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0) return errno;
    if (static_cast<uint64_t>(end) != textStart + textLength) return EIO;  // the text is not what its size said
    uint32_t crc = 0;
    error = crcOfFile(fd, static_cast<uint64_t>(end), crc);
    if (error != 0) return error;
    unsigned char trailer[kTrailer];
    put(trailer, crc, 4);
    if (!writeAll(fd, reinterpret_cast<const char*>(trailer), kTrailer)) return errno;
    return ::fsync(fd) == 0 ? 0 : errno;
}

// ---------------------------------------------------------------------------------------------
// Reading

enum class Reading { kComplete, kPartial, kOtherFile };

// Reads the header of the open journal `fd`, `size` bytes long, and checks it against the file
// at `absolute` with status `file`. Where it is complete and for that file, sets the text's
// place.
Reading readJournal(int fd, uint64_t size, const char* absolute, const FileStatus& file, uint64_t& textStart,
                    uint64_t& textLength) {
    unsigned char header[kFixedHeader + PATH_MAX];
    if (size < kFixedHeader + kTrailer || readAt(fd, 0, header, kFixedHeader) != 0 ||
        memcmp(header, kMagic, kMagicSize) != 0)
        return Reading::kPartial;
    uint64_t length = get(header + kMagicSize + 16, 8);
    size_t pathLength = static_cast<size_t>(get(header + kMagicSize + 24, 4));
    if (pathLength >= PATH_MAX || size < kFixedHeader + pathLength + kTrailer ||
        size - kFixedHeader - pathLength - kTrailer != length ||
        readAt(fd, kFixedHeader, header + kFixedHeader, pathLength) != 0)
        return Reading::kPartial;
    unsigned char trailer[kTrailer];
    uint32_t crc = 0;
    if (readAt(fd, size - kTrailer, trailer, kTrailer) != 0 || crcOfFile(fd, size - kTrailer, crc) != 0 ||
        crc != get(trailer, 4))
        return Reading::kPartial;
    bool named = pathLength == strlen(absolute) && memcmp(header + kFixedHeader, absolute, pathLength) == 0 &&
                 get(header + kMagicSize, 8) == static_cast<uint64_t>(file.st_dev) &&
                 get(header + kMagicSize + 8, 8) == static_cast<uint64_t>(file.st_ino);
    if (!named) return Reading::kOtherFile;
    textStart = kFixedHeader + pathLength;
    textLength = length;
    return Reading::kComplete;
}

}  // namespace

int Journal::write(const char* path, const FileStatus& file, const Content& content) {
    Path absolute;
    int failed = absolutePath(path, absolute);
    if (failed != 0) return failed;
    Place places[kPlaces];
    int count = journalPlaces(absolute.text, file, places);
    int error = EACCES;  // where no place may hold a journal
    for (int i = 0; i < count; ++i) {
        const char* at = places[i].journal.text;
        if (!folderUsable(places[i], true)) continue;
        ::unlink(at);
        Fd fd(::open(at, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.ok()) {
            error = errno;
            continue;
        }
        error = ::fchmod(fd.get(), 0600) == 0 ? 0 : errno;  // whatever the umask took
        if (error == 0) error = fillJournal(fd.get(), absolute.text, file, content, textStart_, textLength_);
        if (error != 0) {
            ::unlink(at);
            continue;
        }
        syncFolderOf(at);
        path_ = places[i].journal;
        fd_.reset(fd.release());
        return 0;
    }
    return error;
}

bool Journal::find(const char* path, const FileStatus& file, bool discardPartial) {
    Path absolute;
    if (absolutePath(path, absolute) != 0) return false;
    Place places[kPlaces];
    int count = journalPlaces(absolute.text, file, places);
    for (int i = 0; i < count; ++i) {
        const char* at = places[i].journal.text;
        if (!folderUsable(places[i], false)) continue;
        Fd fd(::open(at, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        uint64_t size = 0;
        if (!fd.ok() || !journalFileTrusted(fd.get(), size)) continue;
        Reading reading = readJournal(fd.get(), size, absolute.text, file, textStart_, textLength_);
        if (reading == Reading::kPartial && discardPartial) ::unlink(at);
        if (reading != Reading::kComplete) continue;
        path_ = places[i].journal;
        fd_.reset(fd.release());
        return true;
    }
    return false;
}

int Journal::applyTo(int fd) const {
    MoveBuffer buffer;
    if (buffer.bytes == nullptr) return ENOMEM;
    if (::lseek(fd, 0, SEEK_SET) != 0) return errno;
    for (uint64_t done = 0; done < textLength_;) {
        size_t n = textLength_ - done < kMoveBlock ? static_cast<size_t>(textLength_ - done) : kMoveBlock;
        int error = readAt(fd_.get(), textStart_ + done, buffer.bytes, n);
        if (error != 0) return error;
        if (!writeAll(fd, reinterpret_cast<const char*>(buffer.bytes), n)) return errno;
        done += n;
    }
    if (::ftruncate(fd, static_cast<off_t>(textLength_)) != 0 || ::fsync(fd) != 0) return errno;
    return 0;
}

void Journal::remove() {
    if (!fd_.ok()) return;
    fd_.close();
    ::unlink(path_.text);
    syncFolderOf(path_.text);
}

void removeJournals(const char* path, const FileStatus& file) {
    Path absolute;
    if (absolutePath(path, absolute) != 0) return;
    Place places[kPlaces];
    int count = journalPlaces(absolute.text, file, places);
    for (int i = 0; i < count; ++i)
        if (folderUsable(places[i], false)) ::unlink(places[i].journal.text);
}

}  // namespace store
