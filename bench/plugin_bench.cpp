// Benchmarks of the plug-in's entry points, driven through the host simulator in a working
// folder of its own, at several numbers of records with 8 variables each. Next to them it
// measures the limits that the entry points are held against, and prints each entry point's
// ratio to its limit beside the goal.
//
//   morvelt_bench                      every scenario at 1,000 to 1,000,000 records
//   morvelt_bench --sizes=1000,10000   chosen sizes only
//   morvelt_bench --smoke              1,000 records, one iteration each: checks that all runs
//
// Google Benchmark's own flags (--benchmark_filter=..., --benchmark_min_time=...) pass through.
#include <benchmark/benchmark.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

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

// The `index`-th user key of a file: distinct for every index below 2^31 (an odd factor
// permutes the numbers modulo 2^31), all above the key floor, and scattered as real keys are.
uint32_t userKey(uint32_t index) { return 0x80000000u | ((index * 2654435761u) & 0x7FFFFFFFu); }

// The text of a data file of `records` records, as the plug-in writes it, each stamped `age`
// (plus up to 999) seconds before `now`.
std::string makeDataFile(uint32_t records, uint64_t now, uint32_t age) {
    std::string text;
    text.reserve(records * 96u);
    char line[64];
    for (uint32_t r = 0; r < records; ++r) {
        char name[store::kKeyNameBuffer];
        store::encodeKeyName(userKey(r), name);
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

// The data file of `records` records, made once per size and age.
const std::string& dataFile(uint32_t records, uint32_t age) {
    static std::map<std::pair<uint32_t, uint32_t>, std::string> files;
    auto key = std::make_pair(records, age);
    auto it = files.find(key);
    if (it == files.end())
        it = files.emplace(key, makeDataFile(records, hostsim::Host::kDefaultClock, age)).first;
    return it->second;
}

constexpr uint32_t kFresh = 0;               // nothing expires
constexpr uint32_t kStale = kAgeLimit + 1;   // everything expires

// ---- The simulated host -------------------------------------------------------------------

// A working folder and a host with the plug-in loaded, the data file in place and a room of
// 64 stats spots (even spots "GetStats-", odd spots "SetStats-", over the 8 variables).
class Bench {
  public:
    Bench(benchmark::State& state, uint32_t age)
        : records_(static_cast<uint32_t>(state.range(0))), file_(dataFile(records_, age)) {
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
    void* user(uint32_t index) { return host_.addUser(userKey(index), 0, kRoomId); }

  private:
    uint32_t records_;
    const std::string& file_;
    hostsim::WorkDir dir_;  // made before the host, removed after it
    hostsim::Host host_;
    std::vector<std::string> arguments_;
    bool ok_ = false;
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void setRecordCounters(benchmark::State& state, uint32_t records, size_t bytes) {
    state.counters["records"] = records;
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

// ---- The entry points -----------------------------------------------------------------------

// Start-up, reading a data file of N records.
void load(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    for (auto _ : state) {
        auto start = Clock::now();
        bench.start();
        state.SetIterationTime(secondsSince(start));
        bench.shutdownWithoutSave();
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A timer event rewriting the file of N records, none expired.
void timerNothingExpired(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    bench.host().timerEvent();  // the first save after start-up also keeps a backup
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
        auto start = Clock::now();
        bench.host().timerEvent();
        state.SetIterationTime(secondsSince(start));
        bench.shutdownWithoutSave();
    }
    setRecordCounters(state, bench.records(), bench.file().size());
}

// A room entry into the room of 64 stats spots by the user whose record is last.
void roomEntryLastRecord(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(bench.records() - 1);
    for (auto _ : state) bench.host().enterRoom(user, kRoomId);
    state.counters["records"] = bench.records();
}

// A change to a "SetStats-" spot by the user whose record is last.
void spotChangeLastRecord(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(bench.records() - 1);
    int16_t value = 0;
    for (auto _ : state) bench.host().changeSpot(user, kRoomId, kSetSpotId, ++value);
    state.counters["records"] = bench.records();
}

// A change to a "SetStats-" spot by a user with no record yet: each iteration is another new
// user, so the table grows by one record per iteration.
void spotChangeNewUser(benchmark::State& state) {
    Bench bench(state, kFresh);
    if (!bench.ok()) return;
    bench.start();
    void* user = bench.user(0);
    uint32_t next = bench.records();
    for (auto _ : state) {
        uint32_t key = userKey(next++);
        memcpy(static_cast<char*>(user) + host::kUserWordA, &key, sizeof key);
        bench.host().changeSpot(user, kRoomId, kSetSpotId, 1);
    }
    state.counters["records"] = bench.records();
    state.counters["added"] = next - bench.records();
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
            double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
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
    {"timer_nothing_expired", "write_file_limit", 2, "timer, nothing expired / file write"},
    {"timer_all_expired", "timer_nothing_expired", 1, "timer, all expired / nothing expired"},
    {"load", "read_file_limit", 10, "start-up load / file read"},
};

// Prints each goal's ratio at every size measured; the goals hold at 100,000 records.
void printGoals(const std::map<std::string, std::map<long, double>>& seconds) {
    printf("\nRatios to the limits (goals hold at 100000 records with 8 variables)\n");
    printf("%-40s %9s %9s %7s  %s\n", "ratio", "records", "value", "goal", "");
    for (const Goal& goal : kGoals) {
        auto measured = seconds.find(goal.measured);
        auto limit = seconds.find(goal.limit);
        if (measured == seconds.end() || limit == seconds.end()) continue;
        for (const auto& entry : measured->second) {
            auto base = limit->second.find(entry.first);
            if (base == limit->second.end()) continue;
            double ratio = entry.second / base->second;
            const char* verdict = entry.first != 100000 ? "" : ratio <= goal.most ? "met" : "MISSED";
            printf("%-40s %9ld %9.2f %7.2f  %s\n", goal.what, entry.first, ratio, goal.most, verdict);
        }
    }
    auto load = seconds.find("load");
    if (load == seconds.end()) return;
    const auto& bySize = load->second;
    for (long size : {100000L, 1000000L}) {
        auto now = bySize.find(size), before = bySize.find(size / 10);
        if (now == bySize.end() || before == bySize.end()) continue;
        double ratio = (now->second / size) / (before->second / before->first);
        const char* verdict = size != 100000 ? "" : ratio <= 1.5 ? "met" : "MISSED";
        printf("%-40s %9ld %9.2f %7.2f  %s\n", "load per record / at a tenth the records", size, ratio, 1.5, verdict);
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
    const Scenario scenarios[] = {
        {"load", load, true},
        {"timer_nothing_expired", timerNothingExpired, false},
        {"timer_all_expired", timerAllExpired, true},
        {"room_entry_last_record", roomEntryLastRecord, false},
        {"spot_change_last_record", spotChangeLastRecord, false},
        {"spot_change_new_user", spotChangeNewUser, false},
        {"write_file_limit", writeFileLimit, false},
        {"read_file_limit", readFileLimit, false},
        {"scan_table_limit", scanTableLimit, false},
    };
    for (const Scenario& scenario : scenarios) {
        for (long size : sizes) {
            auto* b = benchmark::RegisterBenchmark(scenario.name, scenario.run)->Arg(size);
            b->Unit(benchmark::kMicrosecond);
            if (scenario.manualTime) b->UseManualTime();
            else b->UseRealTime();
            if (smoke) b->Iterations(1);
            else if (scenario.run == spotChangeNewUser) b->Iterations(newUsers(size));
        }
    }
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
