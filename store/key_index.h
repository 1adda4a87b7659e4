// The key index: the position in the record table (isRec) of each record, found by key, kept
// beside the table for the plug-in's life. The table stays the truth: a slot holds only a
// position and the key is read from the table, so a hit is always checked against it. The
// index is an open-addressing table, between a quarter and half full, hashed by simple
// tabulation over tables of random words drawn afresh at each start-up, so that keys chosen
// by clients cannot be made to collide.
#pragma once

#include <stdint.h>

#include "host/export.h"

namespace store {

constexpr uint32_t kAbsent = UINT32_MAX;       // no record has the key
constexpr uint32_t kUnknown = UINT32_MAX - 1;  // the index cannot tell: scan the table

// The position of the first record with `key` in the table, or kAbsent, or kUnknown when the
// index is not complete (a growth failed for want of memory, or the table is too long to index):
// lookups then scan the table until a later growth or refresh rebuilds the index.
uint32_t indexedPosition(uint32_t key);

// Takes in the record just appended at the table's end, growing the index when it must (or
// rebuilding it, when it was not complete). When it cannot grow, it is not complete.
void indexAppended();

// Rebuilds the index from the table when records moved in it (`moved`), or when it is not
// complete.
void refreshIndex(bool moved);

// Gives the index's memory back. The next use builds it anew, with a new hash.
void dropIndex();

#ifdef MORVELT_INDEX_CHECKS
// Test builds only: remembers the first lookup whose answer differs from the scan in table order.
void noteLookup(uint32_t key, uint32_t indexed, uint32_t scanned);

// Test builds only, after each entry point: remembers the first breach of the tables' rules
// (store/records.h): keys above kKeyFloor and unique, a value array for every record while
// there are variables, and no record while the plug-in is not running (`running` false).
void checkTables(bool running);
#endif

}  // namespace store

#ifdef MORVELT_INDEX_CHECKS
// Test builds only: "" when the index agrees with the table (a complete index finds every record
// at its position and holds nothing else), every lookup since the last call agreed with the
// scan, and the tables kept their rules after every entry point since (checkTables); otherwise
// the first that did not. Sets *complete to whether lookups go through the index (or the
// table is empty) rather than to the scan.
PLUGIN_EXPORT const char* morveltIndexCheck(int32_t* complete);

// Test builds only: `key`'s hash in this life's tables, or 0 before they are drawn.
PLUGIN_EXPORT uint32_t morveltIndexHash(uint32_t key);
#endif
