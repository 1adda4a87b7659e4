// Benchmarks of the plug-in's entry points, driven through the host simulator in a working
// folder of its own, at several numbers of records with 8 variables each. Next to them it
// measures the limits that the entry points are held against and a plain room entry, runs the
// lookups with keys chosen against a hash index (at fixed sizes, named scenario.keyset) and a
// hostile client's growth to 1,000,000 records, and prints each ratio beside its goal.
//
//   morvelt_bench                      every scenario at 1,000 to 1,000,000 records
//   morvelt_bench --sizes=1000,10000   chosen sizes only
//   morvelt_bench --smoke              1,000 records, one iteration each: checks that all runs
//   morvelt_bench --cpu-clock          ratios from this thread's processor time, not elapsed
//                                      time (on a busy machine; flushes to disk are not counted)
//
// Google Benchmark's own flags (--benchmark_filter=..., --benchmark_min_time=...) pass through.
#include <benchmark/benchmark.h>

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <tuple>
#include <string>
#include <vector>

#include "host/api.h"
#include "host/records.h"
#include "sim/host.h"
#include "sim/work_dir.h"
#include "store/key_names.h"
#include "store/numbers.h"

namespace {

// The variables, index 1 first; the plug-in gets them as arguments in the opposite order.
const char* const kNames[] = {"score", "lives", "gold", "level", "wins", "losses", "coins", "visits"};
constexpr int kVariables = 8;
constexpr int kRoomSpots = 64;
constexpr int16_t kRoomId = 1;
constexpr int16_t kSetSpotId = 1;      // spot 1 is "SetStats-score"
constexpr uint32_t kAgeLimit = 432000;
constexpr size_t kChunk = 64 * 1024;   // as the plug-in reads

const char kDataPath[] = "psdata/morvelt.ini";

// ---- Data files -----------------------------------------------------------------------------

// Sets of user keys: scattered as real keys are, or chosen against a hash index the way a
// hostile client can choose them (a key is the XOR of two words the client sends).
enum class KeySet {
    kSpread,  // scattered over the upper half of the 32-bit range
    kLow16,   // 65,536 keys agreeing in their low 16 bits
    kHigh16,  // 65,536 keys agreeing in their high 16 bits
    kStride,  // 131,072 keys in an arithmetic progression with stride 2^15
};

const char* keySetName(KeySet set) {
    switch (set) {
        case KeySet::kSpread: return "spread";
        case KeySet::kLow16: return "low16";
        case KeySet::kHigh16: return "high16";
        case KeySet::kStride: return "stride";
    }
    return "";
}

// The `index`-th user key of a file with keys of `set`: distinct for every index the set has
// room for (2^31 scattered ones: an odd factor permutes the numbers modulo 2^31), all above the
// key floor.
uint32_t userKey(uint32_t index, KeySet set = KeySet::kSpread) {
    switch (set) {
        case KeySet::kSpread: return 0x80000000u | ((index * 2654435761u) & 0x7FFFFFFFu);
        case KeySet::kLow16: return (index << 16) | 0x5A5Au;
        case KeySet::kHigh16: return 0xA5A50000u | (index & 0xFFFFu);
        case KeySet::kStride: return index * 32768u + 12345u;
    }
    return 0;
}

// The `index`-th key of a user with no record in a file of `records` keys of `set`. The chosen
// sets fill their whole family, so new users come from a sibling family: keys that agree with
// the file's in all but one of the bits they share, or continue the progression one step on.
uint32_t newUserKey(uint32_t index, uint32_t records, KeySet set) {
    switch (set) {
        case KeySet::kSpread: return userKey(records + index);
        case KeySet::kLow16: return userKey(index, set) ^ 0x8000u;
        case KeySet::kHigh16: return userKey(index, set) ^ 0x00010000u;
        case KeySet::kStride: return userKey(index, set) + 1;
    }
    return 0;
}

// The text of a data file of `records` records with keys of `set`, as the plug-in writes it,
// each stamped `age` (plus up to 999) seconds before `now`.
std::string makeDataFile(uint32_t records, uint64_t now, uint32_t age, KeySet set) {
    std::string text;
    text.reserve(records * 96u);
    char line[64];
    for (uint32_t r = 0; r < records; ++r) {
        char name[store::kKeyNameBuffer];
        store::encodeKeyName(userKey(r, set), name);
        char stamp[11] = {};
        store::formatStamp(static_cast<uint32_t>(now - age - r % 1000), stamp);
        text += '[';
        text += name;
        text += ':';
        text += stamp;
        text += "]\n";
        for (int v = 0; v < kVariables; ++v) {
            int16_t value = static_cast<int16_t>((r * 31u + v * 7u) % 2001u) - 1000;
            snprintf(line, sizeof line, "%s=%d\n", kNames[v], value);
            text += line;
        }
    }
    return text;
}

// The data file of `records` records, made once per size, age and key set.
const std::string& dataFile(uint32_t records, uint32_t age, KeySet set) {
    static std::map<std::tuple<uint32_t, uint32_t, KeySet>, std::string> files;
    auto key = std::make_tuple(records, age, set);
    auto it = files.find(key);
    if (it == files.end())
        it = files.emplace(key, makeDataFile(records, hostsim::Host::kDefaultClock, age, set)).first;
    return it->second;
}

constexpr uint32_t kFresh = 0;               // nothing expires
constexpr uint32_t kStale = kAgeLimit + 1;   // everything expires

// ---- The simulated host -------------------------------------------------------------------

// A working folder and a host with the plug-in loaded, the data file in place and a room of
// 64 stats spots (even spots "GetStats-", odd spots "SetStats-", over the 8 variables).
class Bench {
  public:
    Bench(benchmark::State& state, uint32_t age, KeySet set = KeySet::kSpread)
        : records_(static_cast<uint32_t>(state.range(0))), set_(set), file_(dataFile(records_, age, set)) {
        std::string error;
        if (!host_.load(MORVELT_PLUGIN_PATH, &error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        arguments_.push_back("morvelt");
        for (int v = kVariables - 1; v >= 0; --v) arguments_.push_back(kNames[v]);
        std::vector<std::string> spots;
        for (int s = 0; s < kRoomSpots; ++s)
            spots.push_back(std::string(s % 2 == 0 ? "SetStats-" : "GetStats-") + kNames[s / 2 % kVariables]);
        host_.addRoom(kRoomId, spots);
        host_.reserveBlocks(2 * size_t{records_} + 10000);  // the file's records, and users added
        writeDataFile();
        ok_ = true;
    }

    bool ok() const { return ok_; }
    hostsim::Host& host() { return host_; }
    uint32_t records() const { return records_; }
    const std::string& file() const { return file_; }

    void writeDataFile() { dir_.write(kDataPath, file_); }
    void start() { host_.start(arguments_); }

    // Shuts the plug-in down without its closing save, which would rewrite the data file: the
    // data folder is moved away meanwhile, so the save cannot open its file.
    void shutdownWithoutSave() {
        rename("psdata", "psdata.away");
        host_.shutdown();
        rename("psdata.away", "psdata");
    }

    // A user in the benchmark's room whose key is that of the file's `index`-th record.
    void* user(uint32_t index) { return host_.addUser(userKey(index, set_), 0, kRoomId); }

    // The key of the `index`-th user with no record in the file.
    uint32_t newKey(uint32_t index) const { return newUserKey(index, records_, set_); }

  private:
    uint32_t records_;
    KeySet set_;
    const std::string& file_;
    hostsim::WorkDir dir_;  // made before the host, removed after it
    hostsim::Host host_;
    std::vector<std::string> arguments_;
    bool ok_ = false;
};

// Whether times are this thread's processor time (--cpu-clock) rather than elapsed time: on a
// machine shared with other work, elapsed time also counts the waits for a processor.
bool cpuClock = false;

// Seconds on the chosen clock, from a fixed origin.
double now() {
    if (cpuClock) {
        timespec t;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double secondsSince(double start) { return now() - start; }

void setRecordCounters(benchmark::State& state, uint32_t records, size_t bytes) {
    state.counters["records"] = records;
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

// ---- The entry points -----------------------------------------------------------------------

// Start-up, reading a data file of N records.
void load(benchmark::State& state, KeySet set) {
    Bench bench(state, kFresh, set);
    if (!bench.ok()) return;
    for (auto _ : state) {
        double start = now();
        bench.start();
        state.SetIterationTime(secondsSince(start));
        bench.shutdownWithoutSave();
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A timer event after one "SetStats-" change (not timed), rewriting the file of N records, none
// expired.
void timerOneChange(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    bench.host().timerEvent();  // the first save after start-up also keeps a backup
    void* user = bench.user(bench.records() - 1);
    int16_t value = 0;
    for (auto _ : state) {
        bench.host().changeSpot(user, kRoomId, kSetSpotId, ++value);
        double start = now();
        bench.host().timerEvent();
        state.SetIterationTime(secondsSince(start));
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A timer event with nothing new since the last save at N records: expiry finds nothing to
// drop, and the file is left as it is.
void timerNothingNew(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    bench.host().timerEvent();  // the first save after start-up always writes
    for (auto _ : state) bench.host().timerEvent();
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A timer event in which all N records have expired. The data file is removed after the load,
// so that this save, like every later one, has no backup to keep.
void timerAllExpired(benchmark::State& state) {
    Bench bench(state, kStale);
    if (!bench.ok()) return;
    for (auto _ : state) {
        bench.writeDataFile();
        bench.start();
        unlink(kDataPath);
        double start = now();
        bench.host().timerEvent();
        state.SetIterationTime(secondsSince(start));
        bench.shutdownWithoutSave();
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A room entry into the room of 64 stats spots by the user whose record is last.
void roomEntryLastRecord(benchmark::State& state, KeySet set) {
    Bench bench(state, kFresh, set);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(bench.records() - 1);
    for (auto _ : state) bench.host().enterRoom(user, kRoomId);
    state.counters["records"] = bench.records();
}

// The room entry as a plain implementation makes it, for the user with `key`: the record
// found by a scan in table order, then for each spot its name, the two prefix tests and strcmp
// against each variable's name. The baseline for the plug-in's room entry.
void plainRoomEntry(hostsim::Plugin& plugin, int16_t roomId, uint32_t key) {
    const StatRecord* record = nullptr;
    for (uint32_t r = 0; r < plugin.recordCount() && record == nullptr; ++r)
        if (plugin.records()[r].key == key) record = &plugin.records()[r];
    void* room = GetRoom(roomId);
    char* data = static_cast<char*>(host::readAddress(room, host::kRoomDataBase));
    char* spots = data + host::readS16(room, host::kRoomSpotArray);
    uint16_t count = host::readU16(room, host::kRoomSpotCount);
    for (uint16_t i = 0; i < count; ++i) {
        char* spot = spots + i * host::kSpotSize;
        const char* name = CvtToCString(data + host::readS16(spot, host::kSpotName));
        if (name == nullptr) continue;
        bool get = strncmp(name, "GetStats-", 9) == 0;
        if (!get && strncmp(name, "SetStats-", 9) != 0) continue;
        int16_t value = 0;
        for (uint32_t v = 0; get && record != nullptr && v < plugin.variableCount(); ++v) {
            if (strcmp(plugin.variables()[v].name, name + 9) == 0) {
                value = record->values[v];
                break;
            }
        }
        host::writeS16(spot, host::kSpotState, value);
    }
}

// The plain room entry, for the user whose record is last.
void roomEntryPlainLoop(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    uint32_t key = userKey(bench.records() - 1);
    for (auto _ : state) plainRoomEntry(bench.host().plugin(), kRoomId, key);
    state.counters["records"] = bench.records();
}

// A change to a "SetStats-" spot by the user whose record is last.
void spotChangeLastRecord(benchmark::State& state, KeySet set) {
    Bench bench(state, kFresh, set);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(bench.records() - 1);
    int16_t value = 0;
    for (auto _ : state) bench.host().changeSpot(user, kRoomId, kSetSpotId, ++value);
    state.counters["records"] = bench.records();
}

// Gives `user` the identity of the user with `key`.
void setIdentity(void* user, uint32_t key) {
    uint32_t zero = 0;
    memcpy(static_cast<char*>(user) + host::kUserWordA, &key, sizeof key);
    memcpy(static_cast<char*>(user) + host::kUserWordB, &zero, sizeof zero);
}

// A change to a "SetStats-" spot by a user with no record yet: each iteration is another new
// user, so the table grows by one record per iteration.
void spotChangeNewUser(benchmark::State& state, KeySet set) {
    Bench bench(state, kFresh, set);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(0);
    uint32_t added = 0;
    for (auto _ : state) {
        setIdentity(user, bench.newKey(added++));
        bench.host().changeSpot(user, kRoomId, kSetSpotId, 1);
    }
    state.counters["records"] = bench.records();
    state.counters["added"] = added;
}

// N new users one after another, each changing a "SetStats-" spot, into a table of N records:
// the time for all of them.
void newUsersInARow(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    void* user = bench.user(0);
    for (auto _ : state) {
        bench.start();
        double start = now();
        for (uint32_t i = 0; i < bench.records(); ++i) {
            setIdentity(user, bench.newKey(i));
            bench.host().changeSpot(user, kRoomId, kSetSpotId, 1);
        }
        state.SetIterationTime(secondsSince(start));
        bench.shutdownWithoutSave();
    }
    state.counters["records"] = bench.records();
}

// The heap in use (the plug-in's table and index, the value arrays the simulator hands out, and
// the simulator's bookkeeping of them), in bytes.
double heapInUse() {
    struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd);
}

// A hostile client's growth: N new identities, each with a key agreeing with all the others in
// its low 12 bits, arriving through messages (a logon, then a "SetStats-" change) into an empty
// table; then 100,000 ordinary messages (room entries and changes by users picked at random
// among them). Reports the slowest single message of each phase and the heap the records added.
void hostileGrowth(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    auto identities = static_cast<uint32_t>(state.range(0));
    void* user = bench.user(0);
    double slowestGrowth = 0, slowestOrdinary = 0, heap = 0;
    uint32_t slowestAt = 0;  // the record that the slowest change created
    for (auto _ : state) {
        unlink(kDataPath);  // start empty
        double heapBefore = heapInUse();
        bench.start();
        double start = now();
        for (uint32_t i = 0; i < identities; ++i) {
            setIdentity(user, (i << 12) | 0xABCu);
            double sent = now();
            bench.host().logon(user, kRoomId);
            slowestGrowth = std::max(slowestGrowth, secondsSince(sent));
            sent = now();
            bench.host().changeSpot(user, kRoomId, kSetSpotId, 1);
            double took = secondsSince(sent);
            if (took > slowestGrowth) {
                slowestGrowth = took;
                slowestAt = i + 1;
            }
        }
        uint32_t pick = 12345;
        for (uint32_t i = 0; i < 100000; ++i) {
            pick = pick * 1664525u + 1013904223u;
            setIdentity(user, ((pick >> 8) % identities << 12) | 0xABCu);
            double sent = now();
            if (i % 2 == 0) bench.host().enterRoom(user, kRoomId);
            else bench.host().changeSpot(user, kRoomId, kSetSpotId, static_cast<int16_t>(i));
            slowestOrdinary = std::max(slowestOrdinary, secondsSince(sent));
        }
        state.SetIterationTime(secondsSince(start));
        heap = heapInUse() - heapBefore;
        bench.shutdownWithoutSave();
        bench.writeDataFile();
    }
    state.counters["identities"] = identities;
    state.counters["slowest_growth_us"] = slowestGrowth * 1e6;
    state.counters["slowest_change_made_record"] = slowestAt;
    state.counters["slowest_ordinary_us"] = slowestOrdinary * 1e6;
    state.counters["heap_MB"] = heap / 1e6;
    state.counters["heap_B_per_record"] = heap / identities;
}

// ---- The limits -----------------------------------------------------------------------------

bool writeAll(int fd, const char* data, size_t size) {
    while (size != 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes `bytes` to psdata/limit as the plug-in saves: a new file flushed to disk, renamed over
// the old one, and the folder flushed.
bool writeDurably(const std::string& bytes) {
    int fd = open("psdata/limit.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename("psdata/limit.tmp", "psdata/limit") != 0) return false;
    int dir = open("psdata", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    return ok;
}

// Writing the bytes of the file of N records to the data folder, with the save's flushes.
void writeFileLimit(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    for (auto _ : state)
        if (!writeDurably(bench.file())) state.SkipWithError("cannot write psdata/limit");
    setRecordCounters(state, bench.records(), bench.file().size());
}

// Reading the file of N records back, in the chunks the plug-in reads.
void readFileLimit(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        int fd = open(kDataPath, O_RDONLY | O_CLOEXEC);
        size_t total = 0;
        ssize_t n;
        while ((n = read(fd, buffer.data(), buffer.size())) > 0) total += static_cast<size_t>(n);
        close(fd);
        if (total != bench.file().size()) state.SkipWithError("short read of the data file");
        benchmark::DoNotOptimize(buffer.data());
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// One pass over the memory of the plug-in's record table of N records, as loaded.
void scanTableLimit(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    const auto* words = reinterpret_cast<const uint32_t*>(bench.host().plugin().records());
    size_t count = bench.host().plugin().recordCount() * sizeof(StatRecord) / sizeof(uint32_t);
    for (auto _ : state) {
        uint32_t sum = 0;
        for (size_t i = 0; i < count; ++i) sum += words[i];
        benchmark::DoNotOptimize(sum);
    }
    state.counters["records"] = bench.records();
    state.counters["table_MB"] = static_cast<double>(count * sizeof(uint32_t)) / 1e6;
}

// ---- Goals ----------------------------------------------------------------------------------

// Collects every run's time per iteration, by scenario and size, while the console shows them.
class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal.
    CollectingReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) ++errors;
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            // Manual times were taken on the chosen clock; the others are both measured.
            bool cpu = cpuClock && run.run_name.time_type != "manual_time";
            double total = cpu ? run.cpu_accumulated_time : run.real_accumulated_time;
            double perIteration = total / static_cast<double>(run.iterations);
            auto inserted = seconds[run.run_name.function_name].emplace(atol(run.run_name.args.c_str()), perIteration);
            if (!inserted.second) inserted.first->second = std::min(inserted.first->second, perIteration);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration, by scenario, then by number of records; the fastest repetition
    // where there are several (--benchmark_repetitions), as other work on the machine only adds.
    std::map<std::string, std::map<long, double>> seconds;
    int errors = 0;  // runs that failed
};

struct Goal {
    const char* measured;  // scenario
    const char* limit;     // what it is divided by
    double most;           // the largest ratio that meets the goal
    const char* what;
};

const Goal kGoals[] = {
    {"room_entry_last_record", "scan_table_limit", 3, "room entry / table scan"},
    {"spot_change_last_record", "scan_table_limit", 3, "spot change, last record / table scan"},
    {"spot_change_new_user", "scan_table_limit", 3, "spot change, new user / table scan"},
    {"timer_one_change", "write_file_limit", 2, "timer, one change / file write"},
    {"timer_nothing_new", "scan_table_limit", 1, "timer, nothing new / table scan"},
    {"timer_all_expired", "timer_one_change", 1, "timer, all expired / one change"},
    {"load", "read_file_limit", 10, "start-up load / file read"},
};

// A goal between two measurements at given sizes: measured / (times * base) at most `most`.
struct ScaleGoal {
    const char* measured;
    long size;
    const char* base;
    long baseSize;
    double times;
    double most;
    const char* what;
};

const ScaleGoal kScaleGoals[] = {
    {"room_entry_last_record", 1000000, "room_entry_last_record", 1000, 1, 1.5, "room entry, 10^6 / 10^3 records"},
    {"spot_change_last_record", 1000000, "spot_change_last_record", 1000, 1, 1.5, "spot change, 10^6 / 10^3 records"},
    {"spot_change_new_user", 1000000, "spot_change_new_user", 1000, 1, 2, "new user, 10^6 / 10^3 records"},
    {"new_users_in_a_row", 100000, "spot_change_new_user", 1000, 100000, 2,
     "10^5 new users in a row / 10^5 x one at 10^3"},
    {"room_entry_last_record", 1000, "room_entry_plain_loop", 1000, 1, 1.1, "room entry / plain loop, 10^3"},
    {"load.low16", 65536, "load.spread", 65536, 1, 1.5, "load, low16 / spread keys"},
    {"load.high16", 65536, "load.spread", 65536, 1, 1.5, "load, high16 / spread keys"},
    {"load.stride", 131072, "load.spread", 131072, 1, 1.5, "load, stride / spread keys"},
    {"room_entry.low16", 65536, "room_entry.spread", 65536, 1, 1.5, "room entry, low16 / spread keys"},
    {"room_entry.high16", 65536, "room_entry.spread", 65536, 1, 1.5, "room entry, high16 / spread keys"},
    {"room_entry.stride", 131072, "room_entry.spread", 131072, 1, 1.5, "room entry, stride / spread keys"},
    {"spot_change.low16", 65536, "spot_change.spread", 65536, 1, 1.5, "spot change, low16 / spread keys"},
    {"spot_change.high16", 65536, "spot_change.spread", 65536, 1, 1.5, "spot change, high16 / spread keys"},
    {"spot_change.stride", 131072, "spot_change.spread", 131072, 1, 1.5, "spot change, stride / spread keys"},
    {"new_user.low16", 65536, "new_user.spread", 65536, 1, 1.5, "new user, low16 / spread keys"},
    {"new_user.high16", 65536, "new_user.spread", 65536, 1, 1.5, "new user, high16 / spread keys"},
    {"new_user.stride", 131072, "new_user.spread", 131072, 1, 1.5, "new user, stride / spread keys"},
};

using Seconds = std::map<std::string, std::map<long, double>>;

// The time of `scenario` at `size`, or 0 when it was not measured.
double timeOf(const Seconds& seconds, const char* scenario, long size) {
    auto bySize = seconds.find(scenario);
    if (bySize == seconds.end()) return 0;
    auto it = bySize->second.find(size);
    return it == bySize->second.end() ? 0 : it->second;
}

// Prints each goal's ratio at every size measured; the goals hold at 100000 records.
void printGoals(const Seconds& seconds) {
    printf("\nRatios to the limits (goals hold at 100000 records with 8 variables)\n");
    printf("%-46s %9s %9s %7s  %s\n", "ratio", "records", "value", "goal", "");
    for (const Goal& goal : kGoals) {
        auto measured = seconds.find(goal.measured);
        auto limit = seconds.find(goal.limit);
        if (measured == seconds.end() || limit == seconds.end()) continue;
        for (const auto& entry : measured->second) {
            auto base = limit->second.find(entry.first);
            if (base == limit->second.end()) continue;
            double ratio = entry.second / base->second;
            const char* verdict = entry.first != 100000 ? "" : ratio <= goal.most ? "met" : "MISSED";
            printf("%-46s %9ld %9.2f %7.2f  %s\n", goal.what, entry.first, ratio, goal.most, verdict);
        }
    }
    auto load = seconds.find("load");
    if (load != seconds.end()) {
        const auto& bySize = load->second;
        for (long size : {100000L, 1000000L}) {
            auto now = bySize.find(size), before = bySize.find(size / 10);
            if (now == bySize.end() || before == bySize.end()) continue;
            double ratio = (now->second / size) / (before->second / before->first);
            const char* verdict = ratio <= 1.5 ? "met" : "MISSED";
            printf("%-46s %9ld %9.2f %7.2f  %s\n", "load per record / at a tenth the records", size, ratio, 1.5,
                   verdict);
        }
    }
    printf("\nScaling, baseline and chosen keys\n");
    for (const ScaleGoal& goal : kScaleGoals) {
        double measured = timeOf(seconds, goal.measured, goal.size);
        double base = timeOf(seconds, goal.base, goal.baseSize);
        if (measured == 0 || base == 0) continue;
        double ratio = measured / (goal.times * base);
        printf("%-46s %9ld %9.2f %7.2f  %s\n", goal.what, goal.size, ratio, goal.most,
               ratio <= goal.most ? "met" : "MISSED");
    }
}

// ---- Registration ---------------------------------------------------------------------------

// How many new users spotChangeNewUser adds at `records` records: a tenth as many, at most
// 10,000, so that the table it measures grows little.
long newUsers(long records) { return std::min(std::max(records / 10, 1L), 10000L); }

void registerAll(const std::vector<long>& sizes, bool smoke) {
    struct Scenario {
        const char* name;
        void (*run)(benchmark::State&);
        bool manualTime;
    };
    struct KeyedScenario {
        const char* name;  // at the sizes asked for; name.<key set> for the chosen key sets
        void (*run)(benchmark::State&, KeySet);
        bool manualTime;
        bool newUsers;  // adds users: as many iterations as newUsers() allows
    };
    const KeyedScenario keyed[] = {
        {"load", load, true, false},
        {"room_entry", roomEntryLastRecord, false, false},
        {"spot_change", spotChangeLastRecord, false, false},
        {"new_user", spotChangeNewUser, false, true},
    };
    // The historic names, for spread keys at the sizes asked for.
    const char* const spreadNames[] = {"load", "room_entry_last_record", "spot_change_last_record",
                                       "spot_change_new_user"};
    const Scenario scenarios[] = {
        {"timer_one_change", timerOneChange, true},
        {"timer_nothing_new", timerNothingNew, false},
        {"timer_all_expired", timerAllExpired, true},
        {"room_entry_plain_loop", roomEntryPlainLoop, false},
        {"new_users_in_a_row", newUsersInARow, true},
        {"write_file_limit", writeFileLimit, false},
        {"read_file_limit", readFileLimit, false},
        {"scan_table_limit", scanTableLimit, false},
    };
    auto configure = [smoke](benchmark::internal::Benchmark* b, bool manualTime, long iterations) {
        b->Unit(benchmark::kMicrosecond);
        if (manualTime) b->UseManualTime();
        else b->UseRealTime();
        if (smoke) b->Iterations(1);
        else if (iterations != 0) b->Iterations(iterations);
    };
    for (size_t k = 0; k < sizeof keyed / sizeof keyed[0]; ++k)
        for (long size : sizes)
            configure(benchmark::RegisterBenchmark(spreadNames[k], keyed[k].run, KeySet::kSpread)->Arg(size),
                      keyed[k].manualTime, keyed[k].newUsers ? newUsers(size) : 0);
    for (const Scenario& scenario : scenarios)
        for (long size : sizes)
            configure(benchmark::RegisterBenchmark(scenario.name, scenario.run)->Arg(size), scenario.manualTime,
                      scenario.run == newUsersInARow ? 1 : 0);
    // Keys chosen against a hash index, each against as many spread keys.
    const std::pair<KeySet, long> sets[] = {{KeySet::kSpread, 65536}, {KeySet::kSpread, 131072},
                                            {KeySet::kLow16, 65536},  {KeySet::kHigh16, 65536},
                                            {KeySet::kStride, 131072}};
    for (const KeyedScenario& scenario : keyed) {
        for (const auto& [set, count] : sets) {
            std::string name = std::string(scenario.name) + "." + keySetName(set);
            long size = smoke ? 1000 : count;
            configure(benchmark::RegisterBenchmark(name.c_str(), scenario.run, set)->Arg(size), scenario.manualTime,
                      scenario.newUsers ? newUsers(size) : 0);
        }
    }
    configure(benchmark::RegisterBenchmark("hostile_growth", hostileGrowth)->Arg(smoke ? 1000 : 1000000), true, 1);
}

// Parses "1000,10000" into sizes; false on anything else.
bool parseSizes(const char* text, std::vector<long>& sizes) {
    sizes.clear();
    while (*text != '\0') {
        char* end;
        long size = strtol(text, &end, 10);
        if (end == text || size < 1 || size > 10000000 || (*end != ',' && *end != '\0')) return false;
        sizes.push_back(size);
        text = *end == ',' ? end + 1 : end;
    }
    return !sizes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<long> sizes{1000, 10000, 100000, 1000000};
    bool smoke = false;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--smoke") == 0) {
            smoke = true;
            sizes = {1000};
        } else if (strcmp(argv[i], "--cpu-clock") == 0) {
            cpuClock = true;
        } else if (strncmp(argv[i], "--sizes=", 8) == 0) {
            if (!parseSizes(argv[i] + 8, sizes)) {
                fprintf(stderr, "morvelt_bench: bad argument %s: want --sizes=N[,N...] with 1 <= N <= 10000000\n",
                        argv[i]);
                return 2;
            }
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
    registerAll(sizes, smoke);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printGoals(reporter.seconds);
    if (reporter.errors != 0) {
        fprintf(stderr, "morvelt_bench: %d benchmark runs failed\n", reporter.errors);
        return 1;
    }
    return 0;
}
