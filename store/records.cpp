// User records: lookup, creation, stamping and expiry.
#include "store/records.h"

#include <stdlib.h>
#include <time.h>

#include "host/api.h"
#include "store/key_index.h"
#include "store/variables.h"

StatRecord* isRec = nullptr;
uint32_t nbrRec = 0;

namespace store {

uint32_t presentTime() { return static_cast<uint32_t>(time(nullptr)); }

void stampRecord(StatRecord& record, uint32_t stamp) { record.stamp = stamp != 0 ? stamp : presentTime(); }

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
    stampRecord(*record, stamp);
    record->values = values;
    indexAppended();
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

void expireRecords() {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < nbrRec; ++i) {
        uint32_t age = presentTime() - isRec[i].stamp;
        if (age > kAgeLimit) {
            DisposePtr(isRec[i].values);
            continue;
        }
        isRec[kept++] = isRec[i];
    }
    bool moved = kept != nbrRec;
    if (moved) shrinkTable(kept);
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
