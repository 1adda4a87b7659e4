// The data file: reading it into the record table and replacing it from the tables.
#include "store/data_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/fd.h"
#include "store/file_replace.h"
#include "store/file_status.h"
#include "store/folder_lock.h"
#include "store/key_names.h"
#include "store/load_notes.h"
#include "store/notices.h"
#include "store/numbers.h"
#include "store/records.h"
#include "store/variables.h"

namespace store {

namespace {

constexpr size_t kChunk = 64 * 1024;       // bytes moved per read or write call
constexpr uint32_t kNoRecord = UINT32_MAX;  // no current record while loading
// The largest line buffer the reader asks for: all of memory, or a test build's cap.
#ifdef MORVELT_LINE_BUFFER_MAX
constexpr size_t kBufferMax = MORVELT_LINE_BUFFER_MAX;
#else
constexpr size_t kBufferMax = SIZE_MAX;
#endif

// What this run's saves must know. loadStats sets it; resetSaveState clears it.
struct SaveState {
    bool suspended = false;      // start-up could not read the file: nothing is written this run
    bool backupPending = false;  // the file found at start-up is still to be kept at kBackupPath
    bool failureLogged = false;  // a failed save was logged and none has worked since
    bool noJournalLogged = false;  // a save without a journal was logged this run
    bool saved = false;          // a save of this run worked: `written` is the file it left
    FileStatus written;          // the data file, as the last save of this run left it
};
SaveState run;

// ---------------------------------------------------------------------------------------------
// Reading

// Yields the lines of a file, each without its line feed and NUL-terminated in place. A last
// line without a line feed is yielded too. Lines may be of any length.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader() { free(buffer_); }

    // The next line, or null at the end of the file or on an error (failed() tells which).
    char* next(size_t& length);
    bool failed() const { return failed_; }

  private:
    bool fill();  // reads more bytes after the unread ones; false at the end or on an error

    int fd_;
    char* buffer_ = nullptr;
    size_t capacity_ = 0;
    size_t start_ = 0;  // first unread byte
    size_t end_ = 0;    // one past the last byte read
    bool eof_ = false;
    bool failed_ = false;
};

bool LineReader::fill() {
    if (start_ != 0) {
        memmove(buffer_, buffer_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (capacity_ - end_ < kChunk + 1) {  // room for a chunk and a closing NUL
        // A buffer that cannot double (its size would wrap, or pass a test build's cap) cannot
        // grow, as when memory runs out.
        size_t capacity = capacity_ == 0 ? 2 * kChunk : 2 * capacity_;
        void* grown = capacity_ > kBufferMax / 2 ? nullptr : realloc(buffer_, capacity);
        if (grown == nullptr) {
            errno = ENOMEM;
            failed_ = true;
            return false;
        }
        buffer_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer_ + end_, kChunk);
        if (n > 0) {
            end_ += static_cast<size_t>(n);
            return true;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            failed_ = true;
            return false;
        }
    }
}

char* LineReader::next(size_t& length) {
    size_t scanned = start_;
    for (;;) {
        void* lf = end_ > scanned ? memchr(buffer_ + scanned, '\n', end_ - scanned) : nullptr;
        if (lf != nullptr) {
            char* line = buffer_ + start_;
            length = static_cast<size_t>(static_cast<char*>(lf) - line);
            *static_cast<char*>(lf) = '\0';
            start_ += length + 1;
            return line;
        }
        scanned = end_ - start_;  // fill() moves the unread bytes to the front
        if (eof_ || failed_ || !fill()) break;
    }
    if (failed_ || start_ == end_) return nullptr;
    char* line = buffer_ + start_;  // the last line, without a line feed
    length = end_ - start_;
    line[length] = '\0';
    start_ = end_;
    return line;
}

// What a load carries from one line to the next.
struct LoadState {
    uint32_t current = kNoRecord;  // position of the current record in the table
    uint32_t nextVariable = 0;     // 0-based entry the next variable line most likely names
    bool recordLost = false;       // a header's record could not be made (no memory)
};

// The index of the variable named by the `length` bytes at `name`, none of them NUL, as
// variableIndex gives it. The entry state.nextVariable is tried first: a file lists each
// record's variables in index order, and no two variables share a name (registerVariable keeps
// a name once), so a guess that matches is the answer.
uint32_t lineVariableIndex(const char* name, size_t length, const LoadState& state) {
    uint32_t guess = state.nextVariable;
    if (guess < nbrVar && length <= kVariableNameMax) {
        const char* entry = isVar[guess].name;
        size_t i = 0;
        while (i < length && entry[i] == name[i]) ++i;  // names are too short for memcmp to pay
        if (i == length && entry[length] == '\0') return guess + 1;
    }
    return variableIndex(name, length);
}

// Where a line's first '[', the first ']' after it and its first '=' stand; null where absent.
struct LineMarks {
    char* open = nullptr;
    char* close = nullptr;
    char* equals = nullptr;
};

// Marks `line`, whose text ends at its first NUL, in one pass.
LineMarks markLine(char* line) {
    LineMarks marks;
    for (char* p = line; *p != '\0'; ++p) {
        if (*p == '[') {
            if (marks.open == nullptr) marks.open = p;
        } else if (*p == ']') {
            if (marks.open != nullptr) {
                marks.close = p;
                break;  // a header: nothing further matters
            }
        } else if (*p == '=') {
            if (marks.equals == nullptr) marks.equals = p;
        }
    }
    return marks;
}

// The position of the record for `key`, as findOrCreateRecord gives it, or kNoRecord.
uint32_t findOrCreatePosition(uint32_t key, uint32_t stamp) {
    StatRecord* record = findOrCreateRecord(key, stamp);
    return record == nullptr ? kNoRecord : static_cast<uint32_t>(record - isRec);
}

// Handles one line of the data file. A line's text ends at its first NUL, as for any C string.
void handleLine(char* line, LoadState& state) {
    LineMarks marks = markLine(line);
    if (marks.close != nullptr) {
        const char* colon = strchr(marks.open + 1, ':');
        uint32_t stamp = colon == nullptr ? 0 : parseUnsigned32(colon + 1);
        uint32_t key = decodeKeyName(marks.open + 1);
        uint32_t records = nbrRec;
        state.current = findOrCreatePosition(key, stamp);
        if (state.current == kNoRecord && key > kKeyFloor) state.recordLost = true;
        state.nextVariable = 0;
        noteLine({LineReading::kHeader, line, colon == nullptr ? nullptr : colon + 1, key, stamp,
                  state.current != kNoRecord, nbrRec != records});
        return;
    }
    if (state.current == kNoRecord || marks.equals == nullptr) {
        noteLine({state.current == kNoRecord ? LineReading::kNoRecord : LineReading::kNotAValueLine, line, nullptr});
        return;
    }
    uint32_t index = lineVariableIndex(line, static_cast<size_t>(marks.equals - line), state);
    if (index == 0) {
        noteLine({LineReading::kUnknownVariable, line, marks.equals + 1});
        return;
    }
    state.nextVariable = index;
    int32_t read = parseSigned32(marks.equals + 1);
    int16_t* values = isRec[state.current].values;
    if (values != nullptr) values[index - 1] = static_cast<int16_t>(read);
    noteLine({LineReading::kValue, line, marks.equals + 1, 0, 0, false, false, index, read});
}

// ---------------------------------------------------------------------------------------------
// Writing

// Collects output in a buffer and writes it out in chunks; remembers the first error.
class Writer {
  public:
    explicit Writer(int fd) : fd_(fd), buffer_(static_cast<char*>(malloc(kChunk))) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { free(buffer_); }
    bool ok() const { return buffer_ != nullptr; }
    // Room for `size` bytes. REQUIRES: ok() and size <= kRoom.
    char* reserve(size_t size) {
        if (kChunk - used_ < size) flush();
        return buffer_ + used_;
    }
    void commit(size_t size) { used_ += size; }
    // Writes what is buffered; returns 0, or the errno of this or an earlier failed write.
    int flush() {
        if (error_ == 0 && used_ != 0 && !writeAll(fd_, buffer_, used_)) error_ = errno;
        used_ = 0;
        return error_;
    }
    static constexpr size_t kRoom = 64;  // more than any one line of the file

  private:
    int fd_;
    char* buffer_;
    size_t used_ = 0;
    int error_ = 0;
};

// "[KEYNAME:STAMP]\n"
void writeHeader(Writer& out, const StatRecord& record) {
    char* p = out.reserve(Writer::kRoom);
    char* start = p;
    *p++ = '[';
    p += encodeKeyName(record.key, p);
    *p++ = ':';
    formatStamp(record.stamp, p);
    p += 10;
    *p++ = ']';
    *p++ = '\n';
    out.commit(static_cast<size_t>(p - start));
}

// "name=value\n", for a variable whose name is `length` characters long.
void writeValue(Writer& out, const StatVariable& variable, uint32_t length, int16_t value) {
    char* p = out.reserve(Writer::kRoom);
    char* start = p;
    memcpy(p, variable.name, sizeof variable.name);  // the whole entry: one fixed-size copy
    p += length;
    *p++ = '=';
    p += formatInt16(value, p);
    *p++ = '\n';
    out.commit(static_cast<size_t>(p - start));
}

// Every variable's name length, for the length of one save; null when there is no memory.
uint8_t* variableNameLengths() {
    // No wrap: nbrVar entries of 16 bytes each fit in memory, so nbrVar + 1 bytes do too.
    auto* lengths = static_cast<uint8_t*>(malloc(nbrVar + size_t{1}));
    if (lengths == nullptr) return nullptr;
    for (uint32_t v = 0; v < nbrVar; ++v) lengths[v] = static_cast<uint8_t>(strnlen(isVar[v].name, kVariableNameMax));
    return lengths;
}

// Writes every record's section at the descriptor's offset; 0 or the errno of the failure.
int writeRecords(int fd) {
    Writer out(fd);
    uint8_t* lengths = variableNameLengths();
    if (!out.ok() || lengths == nullptr) {
        free(lengths);
        return ENOMEM;
    }
    for (uint32_t r = 0; r < nbrRec; ++r) {
        const StatRecord& record = isRec[r];
        writeHeader(out, record);
        for (uint32_t v = 0; v < nbrVar; ++v)
            writeValue(out, isVar[v], lengths[v], record.values != nullptr ? record.values[v] : 0);
    }
    free(lengths);
    return out.flush();
}

// The length in bytes of what writeRecords writes.
uint64_t recordsSize() {
    constexpr uint64_t kHeaderFrame = 14;  // "[", ":", ten digits, "]", line feed
    uint64_t perRecord = kHeaderFrame;     // and the name, "=" and line feed of every variable line
    for (uint32_t v = 0; v < nbrVar; ++v) perRecord += strnlen(isVar[v].name, kVariableNameMax) + 2;
    uint64_t size = 0;
    char text[kKeyNameBuffer];
    for (uint32_t r = 0; r < nbrRec; ++r) {
        const StatRecord& record = isRec[r];
        size += perRecord + encodeKeyName(record.key, text);
        for (uint32_t v = 0; v < nbrVar; ++v) size += formatInt16(record.values != nullptr ? record.values[v] : 0, text);
    }
    return size;
}

const Content kRecords = {writeRecords, recordsSize};
// The plug-in's own saves keep the data file locked across a rename (store/folder_lock.h).
const Content kLockedRecords = {writeRecords, recordsSize, lockNewDataFile, passDataFileLock};

// Whether opening the data file failed because there is none: no file, or a symbolic link that
// leads nowhere.
bool isMissing(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

// Whether the data file holds the tables' text already: a save of this run wrote it, nothing
// changed in the tables since, and the file (through its symbolic links) is the one written.
bool fileIsCurrent() {
    FileStatus now;
    return run.saved && !changedSinceSave() && statPath(kDataPath, &now) == 0 && sameVersion(now, run.written);
}

// Sets up this run's saves after a load that ended in `result`; where `suspend`, nothing is
// saved this run whatever the result.
LoadResult startRun(LoadResult result, bool suspend) {
    run = SaveState{};
    run.suspended = suspend || result == LoadResult::kUnreadable;
    run.backupPending = !run.suspended && result == LoadResult::kRead;
    return result;
}

// As startRun, for a file that could not be read: logs why, with `error`.
LoadResult startUnreadable(int error) {
    logUnreadable(error);
    return startRun(LoadResult::kUnreadable, true);
}

// Finishes a save that a crash cut short, where a journal of it is pending; logs what came of
// it. False when the journal could not be replayed: this run must not save.
bool finishCutShortSave() {
    ReplayResult replay = replayJournal(kDataPath);
    if (replay.outcome == Replay::kReplayed) logJournalReplayed(replay.journal.text);
    if (replay.outcome == Replay::kFailed) logReplayFailed(replay.journal.text, replay.error);
    return replay.outcome != Replay::kFailed;
}

}  // namespace

LoadResult loadStats() {
    bool replayed = finishCutShortSave();
    int opened;
    uint64_t size;
    mode_t mode;
    switch (openRegularFile(kDataPath, opened, size, mode)) {
        case OpenedFile::kFailed:
            if (isMissing(errno)) return startRun(LoadResult::kMissing, !replayed);
            return startUnreadable(errno);
        case OpenedFile::kNotRegular:
            logNotRegular(mode);
            return startRun(LoadResult::kUnreadable, true);
        case OpenedFile::kRegular:
            break;
    }
    Fd fd(opened);
    LoadState state;
    LineReader reader(fd.get());
    size_t length;
    while (char* line = reader.next(length)) handleLine(line, state);
    if (reader.failed()) return startUnreadable(errno);
    // A record or variable left out for want of memory would be gone from the file at the first
    // save: the file is kept as it is, as one that could not be read whole.
    if (state.recordLost || variableSkipped()) return startUnreadable(ENOMEM);
    return startRun(LoadResult::kRead, !replayed);
}

ReplaceResult saveStatsTo(const char* path, const char* backupPath, bool makeBackup) {
    return replaceFile(path, kRecords, backupPath, makeBackup);
}

bool saveStats() {
    if (run.suspended) return false;
    if (fileIsCurrent()) return true;
    ReplaceResult result = replaceFile(kDataPath, kLockedRecords, kBackupPath, run.backupPending);
    if (result.backupTried) {
        run.backupPending = false;
        if (result.backupError != 0) logBackupFailed(result.backupError);
    }
    if (result.unjournaled && !run.noJournalLogged) logNoJournal(result.journalError);
    run.noJournalLogged = run.noJournalLogged || result.unjournaled;
    run.saved = result.written;
    if (result.written) run.written = result.status;
    if (result.error != 0) {
        if (!run.failureLogged) logSaveFailed(result.error);
        run.failureLogged = true;
        return false;
    }
    clearChanges();
    if (run.failureLogged) logSaveWorks();
    run.failureLogged = false;
    return true;
}

void resetSaveState() { run = SaveState{}; }

}  // namespace store
