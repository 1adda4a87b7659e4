// User records: lookup, creation, stamping and expiry.
#include "store/records.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "host/api.h"
#include "store/key_index.h"
#include "store/notices.h"
#include "store/variables.h"

StatRecord* isRec = nullptr;
uint32_t nbrRec = 0;

namespace {

// The kernel's clock call with 64-bit seconds: its own number on a 32-bit system, the plain
// clock_gettime where that is 64-bit already. On a 32-bit system, the older calls with 32-bit
// seconds are asked after it: clock_gettime, then time.
#if defined(SYS_clock_gettime64)
constexpr long kClockCall64 = SYS_clock_gettime64;
constexpr long kClockCall32 = SYS_clock_gettime;
#else
constexpr long kClockCall64 = SYS_clock_gettime;
constexpr long kClockCall32 = -1;  // none: the one clock call is 64-bit
#endif
#if defined(SYS_time)
constexpr long kTimeCall = SYS_time;
#else
constexpr long kTimeCall = -1;  // none on this architecture
#endif

// The kernel's struct __kernel_timespec, and its 32-bit struct timespec of old.
struct KernelTime {
    int64_t seconds;
    int64_t nanoseconds;
};
struct KernelTime32 {
    int32_t seconds;
    int32_t nanoseconds;
};

// Set by noteChange, cleared by clearChanges.
bool changed = false;

// What this life knows of the clock. forgetClock clears it.
struct ClockState {
    bool libraryEnded = false;  // time() failed with EOVERFLOW: the C library's 32-bit clock has
                                // ended (glibc 2.34 and later, after 2038-01-19)
    bool no64BitCall = false;   // the kernel has no 64-bit clock call (before Linux 5.1)
    bool read = false;          // a reading worked in this life: `last` holds it
    uint32_t last = 0;          // the last present read
    bool loaded = false;        // a record was stamped from the data file: `newest` holds it
    uint32_t newest = 0;        // the newest such stamp, modulo 2^32
    bool silenceLogged = false; // a reading no clock answered was logged (once a life)
    bool answerLogged = false;  // a reading that worked after it was logged (once a life)
};
ClockState clockState;

// The kernel's clock, asked through syscall() since the C library's own 64-bit clock functions
// lie above the library's symbol-version baseline: the 64-bit call first, then (on a 32-bit
// system whose kernel lacks it) the 32-bit calls, which give the seconds cut to 32 bits.
// False when none answers.
bool kernelClock(uint32_t& now) {
    if (!clockState.no64BitCall) {
        KernelTime time64{0, 0};
        if (syscall(kClockCall64, CLOCK_REALTIME, &time64) == 0) {
            now = static_cast<uint32_t>(time64.seconds);
            return true;
        }
        if (errno == ENOSYS) clockState.no64BitCall = true;
    }
    KernelTime32 time32{0, 0};
    if (kClockCall32 >= 0 && syscall(kClockCall32, CLOCK_REALTIME, &time32) == 0) {
        now = static_cast<uint32_t>(time32.seconds);
        return true;
    }
    // The time call's result is the seconds themselves, and syscall() takes a result from -4095
    // to -1 for an error: the last 4095 seconds before each 2^32 read as a failure. It is
    // therefore asked last.
    if (kTimeCall < 0) return false;
    long seconds = syscall(kTimeCall, nullptr);
    if (seconds == -1) return false;
    now = static_cast<uint32_t>(seconds);
    return true;
}

// The clock as the C library or else the kernel gives it, cut to 32 bits; false when no clock
// answers. time() failing (-1 with errno set) is no reading: EOVERFLOW means its clock has
// ended for good; any other error (a filter refusing the time call an older C library makes)
// may pass, so it is asked again next time.
bool readClock(uint32_t& now) {
#ifdef MORVELT_STORE_IN_TOOL
    if (store::toolClock != nullptr) {
        now = store::toolClock();
        return true;
    }
#endif
    if (!clockState.libraryEnded) {
        errno = 0;
        time_t read = time(nullptr);
        if (read != static_cast<time_t>(-1) || errno == 0) {
            now = static_cast<uint32_t>(read);  // a C library before 2.34 gives the low 32 bits itself
            return true;
        }
        clockState.libraryEnded = errno == EOVERFLOW;
    }
    return kernelClock(now);
}

// What stands for the present where no clock answers: the last present read in this life, or
// the newest stamp the load read, or 0.
uint32_t standInPresent() {
    if (clockState.read) return clockState.last;
    if (clockState.loaded) return clockState.newest;
    return 0;
}

// Remembers a stamp read from the data file. Stamps wrap at 2^32: one is newer than another
// when it lies less than half the cycle ahead of it.
void noteLoadedStamp(uint32_t stamp) {
    constexpr uint32_t kHalfCycle = 0x80000000u;
    if (!clockState.loaded || stamp - clockState.newest < kHalfCycle) clockState.newest = stamp;
    clockState.loaded = true;
}

}  // namespace

namespace store {

#ifdef MORVELT_STORE_IN_TOOL
uint32_t (*toolClock)() = nullptr;
#endif

bool readPresent(uint32_t& now) {
    if (!readClock(now)) {
        now = standInPresent();
        if (!clockState.silenceLogged) logClockSilent();
        clockState.silenceLogged = true;
        return false;
    }
    if (clockState.silenceLogged && !clockState.answerLogged) {
        logClockAnswers();
        clockState.answerLogged = true;
    }
    clockState.read = true;
    clockState.last = now;
    return true;
}

uint32_t presentTime() {
    uint32_t now;
    readPresent(now);
    return now;
}

void forgetClock() { clockState = ClockState{}; }

// The stamp that `stamp` stands for: itself, or the present time for 0.
static uint32_t stampFor(uint32_t stamp) {
    if (stamp == 0) return presentTime();
    noteLoadedStamp(stamp);
    return stamp;
}

void stampRecord(StatRecord& record, uint32_t stamp) {
    uint32_t stamped = stampFor(stamp);
    if (record.stamp == stamped) return;
    record.stamp = stamped;
    noteChange();
}

void noteChange() { changed = true; }
bool changedSinceSave() { return changed; }
void clearChanges() { changed = false; }

// The first position of `key` in the table, or kAbsent.
static uint32_t scanForKey(uint32_t key) {
    for (uint32_t i = 0; i < nbrRec; ++i)
        if (isRec[i].key == key) return i;
    return kAbsent;
}

StatRecord* findRecord(uint32_t key) {
    if (isRec == nullptr || key <= kKeyFloor) return nullptr;
    uint32_t position = indexedPosition(key);
#ifdef MORVELT_INDEX_CHECKS
    if (position != kUnknown) noteLookup(key, position, scanForKey(key));
#endif
    if (position == kUnknown) position = scanForKey(key);
    return position == kAbsent ? nullptr : &isRec[position];
}

// Whether a table of `count` entries of `size` bytes each fits in `limit` bytes.
static bool fits(uint64_t count, size_t size, uint64_t limit) { return count <= limit / size; }

StatRecord* createRecord(uint32_t key, uint32_t stamp) {
    if (key <= kKeyFloor) return nullptr;
    // Sizes that would wrap cannot be had, as when memory runs out.
    if (!fits(nbrVar, sizeof(int16_t), INT32_MAX) || !fits(nbrRec + 1ull, sizeof(StatRecord), SIZE_MAX)) return nullptr;
    auto* values = static_cast<int16_t*>(NewPtrClear(static_cast<int32_t>(nbrVar * sizeof(int16_t))));
    if (values == nullptr && nbrVar != 0) return nullptr;
    void* grown = realloc(isRec, (nbrRec + 1) * sizeof(StatRecord));
    if (grown == nullptr) {
        DisposePtr(values);
        return nullptr;
    }
    isRec = static_cast<StatRecord*>(grown);
    StatRecord* record = &isRec[nbrRec++];
    record->key = key;
    record->stamp = stampFor(stamp);
    record->values = values;
    indexAppended();
    noteChange();
    return record;
}

StatRecord* findOrCreateRecord(uint32_t key, uint32_t stamp) {
    StatRecord* record = findRecord(key);
    if (record == nullptr) return createRecord(key, stamp);
    stampRecord(*record, stamp);
    return record;
}

// Sets the table's size to `count` entries, which is no more than it holds. A table that cannot
// shrink keeps its larger block; an empty one is freed.
static void shrinkTable(uint32_t count) {
    nbrRec = count;
    if (count == 0) {
        free(isRec);
        isRec = nullptr;
        return;
    }
    void* shrunk = realloc(isRec, count * sizeof(StatRecord));
    if (shrunk != nullptr) isRec = static_cast<StatRecord*>(shrunk);
}

// The position of the first record that isExpired at `now`, or nbrRec.
static uint32_t firstExpired(uint32_t now) {
    uint32_t i = 0;
    while (i < nbrRec && !isExpired(isRec[i].stamp, now)) ++i;
    return i;
}

void expireRecords() {
    uint32_t now;
    if (!readPresent(now)) {  // no clock: no record can be told to be stale
        refreshIndex(false);
        return;
    }
    uint32_t kept = firstExpired(now);
    bool moved = kept != nbrRec;
    for (uint32_t i = kept; i < nbrRec; ++i) {
        if (isExpired(isRec[i].stamp, now)) {
            DisposePtr(isRec[i].values);
            continue;
        }
        isRec[kept++] = isRec[i];
    }
    if (moved) {
        shrinkTable(kept);
        noteChange();
    }
    refreshIndex(moved);
}

void disposeRecords() {
    for (uint32_t i = 0; i < nbrRec; ++i) DisposePtr(isRec[i].values);
    DisposePtr(isRec);
    isRec = nullptr;
    nbrRec = 0;
    dropIndex();
}

}  // namespace store
