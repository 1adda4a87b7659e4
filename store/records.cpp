// User records: lookup, creation, stamping and expiry.
#include "store/records.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "host/api.h"
#include "store/key_index.h"
#include "store/variables.h"

StatRecord* isRec = nullptr;
uint32_t nbrRec = 0;

namespace {

// The kernel's clock call with 64-bit seconds: its own number on a 32-bit system, the plain
// clock_gettime where that is 64-bit already.
#if defined(SYS_clock_gettime64)
constexpr long kClockCall64 = SYS_clock_gettime64;
#else
constexpr long kClockCall64 = SYS_clock_gettime;
#endif

// The kernel's struct __kernel_timespec.
struct KernelTime {
    int64_t seconds;
    int64_t nanoseconds;
};

// Set by noteChange, cleared by clearChanges.
bool changed = false;

// Set once time() has failed with EOVERFLOW: the C library's 32-bit clock has ended (glibc 2.34
// and later, after 2038-01-19), and only the kernel's 64-bit clock goes on.
bool clockEnded = false;

// The kernel's 64-bit clock cut to 32 bits, asked through syscall() since the C library's own
// 64-bit clock functions lie above the library's symbol-version baseline. A kernel without the
// call (before Linux 5.1) leaves the C library's -1.
uint32_t kernelClock() {
    KernelTime now{-1, 0};
    syscall(kClockCall64, CLOCK_REALTIME, &now);
    return static_cast<uint32_t>(now.seconds);
}

}  // namespace

namespace store {

#ifdef MORVELT_STORE_IN_TOOL
uint32_t (*toolClock)() = nullptr;
#endif

uint32_t presentTime() {
#ifdef MORVELT_STORE_IN_TOOL
    if (toolClock != nullptr) return toolClock();
#endif
    if (clockEnded) return kernelClock();
    errno = 0;
    time_t now = time(nullptr);
    if (now == static_cast<time_t>(-1) && errno == EOVERFLOW) {
        clockEnded = true;
        return kernelClock();
    }
    return static_cast<uint32_t>(now);  // a C library before 2.34 gives the low 32 bits itself
}

// The stamp that `stamp` stands for: itself, or the present time for 0.
static uint32_t stampFor(uint32_t stamp) { return stamp != 0 ? stamp : presentTime(); }

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

StatRecord* createRecord(uint32_t key, uint32_t stamp) {
    if (key <= kKeyFloor) return nullptr;
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
    uint32_t now = presentTime();
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
