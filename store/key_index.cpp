// The key index: open addressing with linear probing. A slot holds a table position plus one in
// its low kPositionBits bits (0 marks an empty slot) and, above them, the top bits of its key's
// hash, so that a probe reads the table only for a slot whose hash bits match.
#include "store/key_index.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifdef MORVELT_INDEX_CHECKS
#include <stdio.h>
#endif

#include "store/records.h"
#include "store/variables.h"

namespace store {

namespace {

// The kernel's getrandom call (Linux 3.17) and its flag, for C library headers that lack them.
#if defined(SYS_getrandom)
constexpr long kGetrandomCall = SYS_getrandom;
#elif defined(__i386__)
constexpr long kGetrandomCall = 355;
#elif defined(__x86_64__)
constexpr long kGetrandomCall = 318;
#else
#error "the getrandom call's number is not known for this architecture"
#endif
constexpr unsigned kGrndNonblock = 0x0001;  // GRND_NONBLOCK

constexpr uint32_t kMinSlots = 8;
constexpr uint32_t kPositionBits = 27;
constexpr uint32_t kPositionMask = (1u << kPositionBits) - 1;
// Tables this long are not indexed (lookups scan): a slot has room for positions below it. At
// 12 bytes a record, such a table would take 1.5 GiB in one block: no 32-bit process gets
// there, but a 64-bit one can. A test build may set a lower cap to reach it.
#ifdef MORVELT_INDEX_MAX_RECORDS
constexpr uint32_t kMaxRecords = MORVELT_INDEX_MAX_RECORDS;
static_assert(kMaxRecords <= kPositionMask - 1, "positions must fit in a slot");
#else
constexpr uint32_t kMaxRecords = kPositionMask - 1;
#endif

struct Index {
    uint32_t* slots;          // null until built
    uint32_t capacity;        // a power of two, or 0
    uint32_t held;            // table positions 0..held-1 are in the index (while valid)
    bool valid;               // the slots describe the table's first `held` positions
    bool seeded;              // `hash` holds this life's random words
    uint32_t hash[4][256];    // simple tabulation: one random word per byte value and position
};

Index index;  // all zero before the first use in each life

// The next word of a SplitMix64 sequence.
uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// The kernel's random bytes: true when getrandom filled `seed`. Asked with GRND_NONBLOCK, so
// that a start-up early in boot never waits for the pool; through syscall(), since the C
// library's getrandom lies above the library's symbol-version baseline.
bool kernelRandom(uint64_t& seed) {
    return syscall(kGetrandomCall, &seed, sizeof seed, kGrndNonblock) == static_cast<long>(sizeof seed);
}

// /dev/urandom's bytes: true when `seed` was filled from it.
bool deviceRandom(uint64_t& seed) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ssize_t got = ::read(fd, &seed, sizeof seed);
    ::close(fd);
    return got == static_cast<ssize_t>(sizeof seed);
}

// The kernel's monotonic clock in nanoseconds, asked through syscall() (the C library's
// clock_gettime lies above the baseline); 0 where it does not answer.
uint64_t monotonicCount() {
    long timespec[2] = {0, 0};  // seconds and nanoseconds, each a long for this call
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, timespec);
    return static_cast<uint64_t>(timespec[0]) * 1000000000u + static_cast<uint64_t>(timespec[1]);
}

// Where neither source of random bytes answers (a chroot without /dev on a kernel before 3.17):
// everything at hand that differs between lives, mixed. The processor's cycle counter and the
// monotonic clock differ even between two lives started in the same second by the same
// process; the stack, a fresh heap block and the library's own address differ between
// processes.
uint64_t mixedSeed() {
    int onStack = 0;
    void* onHeap = malloc(1);
    uint64_t parts[] = {__builtin_ia32_rdtsc(),
                        monotonicCount(),
                        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&onStack)),
                        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(onHeap)),
                        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&index)),
                        static_cast<uint64_t>(getpid()),
                        static_cast<uint64_t>(time(nullptr))};
    free(onHeap);
    uint64_t seed = 0;
    for (uint64_t part : parts) {
        uint64_t state = seed ^ part;
        seed = splitMix(state);
    }
    return seed;
}

// 64 bits no client can predict: from the kernel, else /dev/urandom, else mixedSeed.
uint64_t unpredictableSeed() {
    uint64_t seed = 0;
    if (kernelRandom(seed) || deviceRandom(seed)) return seed;
    return mixedSeed();
}

// Fills the tabulation tables from a fresh seed.
void seedHash() {
    uint64_t state = unpredictableSeed();
    for (auto& table : index.hash)
        for (uint32_t& word : table) word = static_cast<uint32_t>(splitMix(state) >> 32);
    index.seeded = true;
}

// The key's hash for this life: the words its four bytes pick, one table per byte, combined.
uint32_t hashKey(uint32_t key) {
    return index.hash[0][key & 0xFF] ^ index.hash[1][(key >> 8) & 0xFF] ^ index.hash[2][(key >> 16) & 0xFF] ^
           index.hash[3][key >> 24];
}

// The number of slots for `records` records: a power of two, at least twice one more than
// `records`, so that the index is a quarter to half full. 0 when too many.
uint32_t capacityFor(uint32_t records) {
    if (records >= kMaxRecords) return 0;
    uint32_t capacity = kMinSlots;
    while (capacity < 2 * (records + 1)) capacity *= 2;
    return capacity;
}

// The hash bits a slot keeps beside the position: the top ones, which pick no slot.
uint32_t tag(uint32_t hash) { return hash & ~kPositionMask; }

// The table position a full slot holds.
uint32_t positionIn(uint32_t slot) { return (slot & kPositionMask) - 1; }

// Puts table position `position` into the slots, unless an earlier position has its key.
// REQUIRES: the slots have an empty one.
void insertPosition(uint32_t position) {
    uint32_t key = isRec[position].key;
    uint32_t hash = hashKey(key);
    uint32_t mask = index.capacity - 1;
    uint32_t i = hash & mask;
    for (; index.slots[i] != 0; i = (i + 1) & mask)
        if ((index.slots[i] & ~kPositionMask) == tag(hash) && isRec[positionIn(index.slots[i])].key == key) return;
    index.slots[i] = tag(hash) | (position + 1);
}

// Gives the slots back; the index is then not valid.
void dropSlots() {
    free(index.slots);
    index.slots = nullptr;
    index.capacity = 0;
    index.valid = false;
}

// Makes the index hold every record of the table, in slots sized for it. False when there is
// no memory for them, or the table has kMaxRecords records or more; the index is then not valid.
bool rebuild() {
    if (!index.seeded) seedHash();
    uint32_t capacity = capacityFor(nbrRec);
    if (capacity == 0) {  // too many records to index: as for want of memory
        dropSlots();
        return false;
    }
    if (capacity != index.capacity) {
        void* resized = realloc(index.slots, capacity * sizeof(uint32_t));
        if (resized == nullptr) {
            dropSlots();
            return false;
        }
        index.slots = static_cast<uint32_t*>(resized);
        index.capacity = capacity;
    }
    memset(index.slots, 0, capacity * sizeof(uint32_t));
    for (uint32_t position = 0; position < nbrRec; ++position) insertPosition(position);
    index.held = nbrRec;
    index.valid = true;
    return true;
}

bool complete() { return index.valid && index.held == nbrRec; }

// The slot answer for `key`: a position whose record has the key, or kAbsent at an empty slot,
// or kUnknown where a slot names a position past the table's end.
uint32_t probe(uint32_t key) {
    uint32_t hash = hashKey(key);
    uint32_t mask = index.capacity - 1;
    for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
        uint32_t slot = index.slots[i];
        if (slot == 0) return kAbsent;
        if ((slot & ~kPositionMask) != tag(hash)) continue;
        uint32_t position = positionIn(slot);
        if (position >= nbrRec) return kUnknown;
        if (isRec[position].key == key) return position;
    }
}

}  // namespace

uint32_t indexedPosition(uint32_t key) {
    if (!complete()) return kUnknown;
    uint32_t position = probe(key);
    if (position != kUnknown) return position;
    return rebuild() ? probe(key) : kUnknown;  // a slot that does not check out: start again
}

void indexAppended() {
    bool roomForIt = index.valid && index.held + 1 == nbrRec && 2 * nbrRec <= index.capacity;
    if (!roomForIt) {
        rebuild();  // grows, or retries after an earlier failure
        return;
    }
    insertPosition(nbrRec - 1);
    index.held = nbrRec;
}

void refreshIndex(bool moved) {
    if (index.slots == nullptr && nbrRec == 0) return;  // nothing to index, and nothing held
    if (moved || !complete()) rebuild();
}

void dropIndex() {
    dropSlots();
    memset(&index, 0, sizeof index);
}

#ifdef MORVELT_INDEX_CHECKS

namespace {

char defect[200];  // the first disagreement found since the last report, or ""

// Writes to `defect` what differs between the complete index and the table.
void compareWithTable() {
    uint32_t occupied = 0;
    for (uint32_t i = 0; i < index.capacity; ++i) {
        if (index.slots[i] == 0) continue;
        ++occupied;
        uint32_t position = positionIn(index.slots[i]);
        if (position >= nbrRec || tag(hashKey(isRec[position].key)) != (index.slots[i] & ~kPositionMask)) {
            snprintf(defect, sizeof defect, "slot %u holds position %u of %u, tagged %08x", i, position, nbrRec,
                     index.slots[i] & ~kPositionMask);
            return;
        }
    }
    uint32_t distinct = 0;  // positions that hold the first record with their key
    for (uint32_t position = 0; position < nbrRec; ++position) {
        uint32_t found = probe(isRec[position].key);
        if (found == position) {
            ++distinct;
        } else if (found > position || isRec[found].key != isRec[position].key) {
            snprintf(defect, sizeof defect, "key %u at position %u indexed at %d", isRec[position].key, position,
                     static_cast<int>(found));
            return;
        }
    }
    if (occupied != distinct) snprintf(defect, sizeof defect, "%u slots for %u records", occupied, distinct);
}

}  // namespace

int compareKeys(const void* a, const void* b) {
    uint32_t x = *static_cast<const uint32_t*>(a);
    uint32_t y = *static_cast<const uint32_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// Writes to `defect` a key that two records hold, if any (nothing where there is no memory to
// look).
void findTwiceHeldKey() {
    auto* keys = static_cast<uint32_t*>(malloc(nbrRec * sizeof(uint32_t)));
    if (keys == nullptr) return;
    for (uint32_t r = 0; r < nbrRec; ++r) keys[r] = isRec[r].key;
    qsort(keys, nbrRec, sizeof(uint32_t), compareKeys);
    for (uint32_t r = 1; r < nbrRec; ++r) {
        if (keys[r] != keys[r - 1]) continue;
        snprintf(defect, sizeof defect, "key %u held by two records", keys[r]);
        break;
    }
    free(keys);
}

void noteLookup(uint32_t key, uint32_t indexed, uint32_t scanned) {
    if (defect[0] != '\0' || indexed == scanned) return;
    snprintf(defect, sizeof defect, "lookup of key %u gave %d, the scan %d", key, static_cast<int>(indexed),
             static_cast<int>(scanned));
}

void checkTables(bool running) {
    if (defect[0] != '\0') return;
    if (!running && (nbrRec != 0 || isRec != nullptr)) {
        snprintf(defect, sizeof defect, "%u records while the plug-in is not running", nbrRec);
        return;
    }
    for (uint32_t r = 0; r < nbrRec; ++r) {
        const StatRecord& record = isRec[r];
        if (record.key <= kKeyFloor) {
            snprintf(defect, sizeof defect, "record %u has key %u, at or below the floor", r, record.key);
            return;
        }
        if (record.values == nullptr && nbrVar > 0) {
            snprintf(defect, sizeof defect, "record %u (key %u) has no values", r, record.key);
            return;
        }
    }
    if (nbrRec > 1) findTwiceHeldKey();
}

#endif

}  // namespace store

#ifdef MORVELT_INDEX_CHECKS
uint32_t morveltIndexHash(uint32_t key) { return store::index.seeded ? store::hashKey(key) : 0; }

const char* morveltIndexCheck(int32_t* complete) {
    if (store::defect[0] == '\0' && store::complete()) store::compareWithTable();
    *complete = nbrRec == 0 || store::complete() ? 1 : 0;  // an empty table needs no index
    static char reported[sizeof store::defect];
    memcpy(reported, store::defect, sizeof reported);
    store::defect[0] = '\0';
    return reported;
}
#endif
