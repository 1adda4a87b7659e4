// User records: each known user's statistic values, keyed by user key, with the time the
// record was last stamped. The table keeps records in order of creation; the key index
// (store/key_index.h) finds them by key, and changes in the same step as the table.
#pragma once

#include <stdint.h>

#include "host/export.h"

struct StatRecord {
    uint32_t key;     // user key, always above kKeyFloor
    uint32_t stamp;   // seconds since the epoch (low 32 bits) of the last stamp
    int16_t* values;  // nbrVar values, slot i-1 for variable i; null only while nbrVar is 0
};

PLUGIN_EXPORT StatRecord* isRec;  // the table, or null while it is empty
PLUGIN_EXPORT uint32_t nbrRec;    // its number of entries

namespace store {

constexpr uint32_t kKeyFloor = 1000;     // keys up to this stand for no recorded user
constexpr uint32_t kAgeLimit = 432000;   // five days, in seconds
constexpr uint32_t kAheadLimit = 432000; // how far a stamp may lie ahead of a clock set back

// Reads the present time as a stamp into `now`: seconds since the epoch, cut to their low 32
// bits, also after 2038-01-19 03:14:07 UTC with a C library whose 32-bit clock has ended there
// and a kernel without the 64-bit clock call. False when no clock answers: `now` is then the
// last present read in this life, or else the newest stamp read from the data file, or else 0.
// The first reading in a life that no clock answers is logged, and so is the first after it
// that works: at most one line each a life.
bool readPresent(uint32_t& now);

// The present time as readPresent gives it, whether a clock answered or not.
uint32_t presentTime();

// Forgets what this life read of the clock, at the life's end.
void forgetClock();

#ifdef MORVELT_STORE_IN_TOOL
// The tools' clock: while set, the clock reads what it returns, and no other clock is asked.
extern uint32_t (*toolClock)();
#endif

// Sets the record's stamp to `stamp`, or to the present time when `stamp` is 0, noting a change
// where that differs from the stamp it had.
void stampRecord(StatRecord& record, uint32_t stamp);

// Notes that the tables may now hold what the data file does not: every change to what a save
// would write (a record created, stamped, given a value, or dropped) calls it.
void noteChange();

// Whether noteChange was called since the last clearChanges.
bool changedSinceSave();

// Forgets the changes noted, once the data file holds the tables' text.
void clearChanges();

// The first record with `key` in table order, or null. Never creates, never stamps.
StatRecord* findRecord(uint32_t key);

// The record with `key`, created at the end of the table if absent, with its stamp set to
// `stamp` (0 means the present time). Null for a key of kKeyFloor or less, and when a new record
// cannot get its value array or a table entry; the table then stays as it was.
StatRecord* findOrCreateRecord(uint32_t key, uint32_t stamp);

// As findOrCreateRecord, for a key known to be absent from the table.
StatRecord* createRecord(uint32_t key, uint32_t stamp);

// Whether a record stamped `stamp` is dropped at `present`: the stamp is more than kAgeLimit
// behind the present and more than kAheadLimit ahead of it (both modulo 2^32), so a record
// stamped just before the clock was set back stays.
inline bool isExpired(uint32_t stamp, uint32_t present) {
    return present - stamp > kAgeLimit && stamp - present > kAheadLimit;
}

// Drops every record that isExpired at the present (none where no clock answers), giving its value array back (a change where
// there was one). The others keep their order, and are only read when none is dropped. The key index follows (and is rebuilt if a failed growth left it incomplete).
void expireRecords();

// Gives back every value array in table order, then the table itself and the key index.
// Afterwards the table is empty.
void disposeRecords();

}  // namespace store
