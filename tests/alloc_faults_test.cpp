// Allocation failures: a scripted scenario (load, users storing values, timer events with an
// expiry, a restart, shutdown) is run once cleanly as the reference, then again for every
// allocation it makes, with that one allocation failing. After every step the tables must be
// well formed, records from before the step intact, records the reference has missing only
// where the failure struck, the data file the table's text (or, in a run whose load failed part
// way, the file as start-up found it), and after shutdown no block alive. The plug-in is the
// build made for tests: after every step its key index must agree with the table, and every
// lookup with a scan of the table, also while a failed growth of the index leaves lookups to
// the scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sim/host.h"
#include "sim/work_dir.h"
#include "tests/table_view.h"

namespace {

using tableview::Record;
using tableview::Table;

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";
constexpr char kTemp[] = "psdata/morvelt.ini.tmp";
const std::vector<std::string> kArguments{"morvelt", "gold", "lives", "score"};

constexpr uint64_t kNow = hostsim::Host::kDefaultClock;
constexpr int16_t kRoomA = 7;  // SetStats-score, GetStats-score, SetStats-gold
constexpr int16_t kRoomB = 8;  // SetStats-lives

// One run of the scenario: its own folder and host.
class Scenario {
  public:
    Scenario() {
        std::string error;
        if (!host.load(MORVELT_PLUGIN_PATH, &error)) ADD_FAILURE() << error;
        // Three users in the file; the third is 200 seconds from expiring.
        dir.write(kData, "[" + tableview::keyName(0x1234 ^ 0x5678) + ":" + std::to_string(kNow - 100) +
                             "]\nscore=12\nlives=-3\ngold=0\n"
                             "[" + tableview::keyName(0x1111 ^ 0x2222) + ":" + std::to_string(kNow - 50) +
                             "]\nscore=1\nlives=2\ngold=3\n"
                             "[" + tableview::keyName(0x3333 ^ 0x4444) + ":" + std::to_string(kNow - 432000 + 200) +
                             "]\nscore=9\nlives=9\ngold=9\n");
        host.addRoom(kRoomA, {"SetStats-score", "GetStats-score", "SetStats-gold"});
        host.addRoom(kRoomB, {"SetStats-lives"});
        known1 = host.addUser(0x1234, 0x5678, kRoomA);
        known2 = host.addUser(0x1111, 0x2222, kRoomA);
        new1 = host.addUser(0xAAAA0000, 0x0000BBBB, kRoomA);
        new2 = host.addUser(0xCCCC0000, 0x0000DDDD, kRoomA);
    }

    struct Step {
        const char* name;
        bool loads;  // reads the data file, whose records may then be lost to a failure
        bool saves;  // a timer event writes the data file
        std::function<void(Scenario&)> run;
    };

    static const std::vector<Step>& steps() {
        static const std::vector<Step> list{
            {"start", true, false, [](Scenario& s) { s.startFresh(); }},
            {"first timer", false, true, [](Scenario& s) { s.host.advance(0); }},
            {"new user stores", false, false, [](Scenario& s) {
                 s.host.logon(s.new1, kRoomA);
                 s.host.changeSpot(s.new1, kRoomA, 1, 42);
             }},
            {"known user stores", false, false, [](Scenario& s) { s.host.changeSpot(s.known1, kRoomA, 1, 5); }},
            {"second new user stores", false, false, [](Scenario& s) { s.host.changeSpot(s.new2, kRoomA, 3, -9); }},
            // The key index grew in the last step; where that failed, these lookups scan.
            {"first new user stores again", false, false, [](Scenario& s) { s.host.changeSpot(s.new1, kRoomA, 3, 8); }},
            {"timer drops the oldest", false, true, [](Scenario& s) { s.host.advance(300); }},
            {"restart", true, false, [](Scenario& s) {
                 s.host.shutdown();
                 s.startFresh();
             }},
            {"timer after restart", false, true, [](Scenario& s) { s.host.advance(0); }},
            {"known user stores after restart", false, false, [](Scenario& s) {
                 s.host.enterRoom(s.known2, kRoomB);
                 s.host.changeSpot(s.known2, kRoomB, 1, 77);
             }},
        };
        return list;
    }

    // Starts the plug-in, noting the data file it finds.
    void startFresh() {
        found = dir.read(kData);
        host.start(kArguments);
    }

    hostsim::WorkDir dir;
    hostsim::Host host;
    void* known1;
    void* known2;
    void* new1;
    void* new2;
    std::string found;  // the data file as the last start-up found it
    int scanningSteps = 0;  // steps after which the key index was left incomplete
};

// Checks `after`, the table after `step` in a run whose table was `before`, against the
// reference run's tables before and after the same step. `struck` tells whether the failure
// happened during this step; `mayLose`, whether the step is a load that failed part way and
// suspended its run's saves, which may then miss records of the file.
void checkStep(const Scenario::Step& step, const Table& before, const Table& after, const Table& referenceBefore,
               const Table& reference, bool struck, bool mayLose) {
    SCOPED_TRACE(step.name);
    for (const Record& was : before.records) {
        const Record* now = after.find(was.key);
        const Record* expected = reference.find(was.key);
        if (now == nullptr) {
            EXPECT_TRUE(expected == nullptr || mayLose) << "record " << was.key << " lost";
            continue;
        }
        for (const auto& [name, value] : now->values) {
            auto old = was.values.find(name);
            if (old == was.values.end() || old->second == value) continue;  // new variable, or kept
            ASSERT_NE(expected, nullptr);
            EXPECT_EQ(value, expected->values.at(name)) << "record " << was.key << " variable " << name;
        }
    }
    for (const Record& now : after.records) {
        const Record* expected = reference.find(now.key);
        ASSERT_NE(expected, nullptr) << "record " << now.key << " appeared";
        // A record made again after an earlier failure lost it starts afresh.
        if (before.find(now.key) != nullptr || referenceBefore.find(now.key) != nullptr) continue;
        EXPECT_EQ(now.stamp, expected->stamp) << "record " << now.key;
        for (const auto& [name, value] : now.values)
            EXPECT_EQ(value, expected->values.at(name)) << "record " << now.key << " variable " << name;
    }
    for (const Record& expected : reference.records) {
        if (after.find(expected.key) != nullptr || before.find(expected.key) != nullptr) continue;
        // Missing since an earlier failure, or made in this step, which the failure struck.
        EXPECT_TRUE(struck || referenceBefore.find(expected.key) != nullptr) << "record " << expected.key << " missing";
    }
}

// Whether the log, from line `from` on, says start-up could not read the data file.
bool loggedUnreadable(const hostsim::Host& host, size_t from) {
    for (size_t i = from; i < host.log().size(); ++i)
        if (host.log()[i].find("psdata/morvelt.ini cannot be read: ") != std::string::npos) return true;
    return false;
}

// Runs the scenario, checking every step against `reference` (when given), and returns the
// table after each step. A load that fails part way suspends the saves of its run: the file
// stays as start-up found it, and the restart after that run reads it back, so the run has
// gone its own way and the reference no longer applies.
std::vector<Table> runScenario(Scenario& s, const std::vector<Table>* reference) {
    std::vector<Table> tables;
    Table before;
    bool savedSinceStart = false;
    bool suspended = false;  // the present run saves nothing
    for (size_t i = 0; i < Scenario::steps().size(); ++i) {
        const Scenario::Step& step = Scenario::steps()[i];
        bool pending = s.host.faultPending();
        size_t logged = s.host.log().size();
        step.run(s);
        bool struck = pending && !s.host.faultPending();
        if (step.loads) {
            if (suspended) reference = nullptr;
            suspended = loggedUnreadable(s.host, logged);
            EXPECT_TRUE(!suspended || struck) << step.name << ": unreadable without a fault";
        }
        Table after = tableview::copyOf(s.host);
        bool indexComplete = true;
        EXPECT_EQ(tableview::indexDefect(s.host, &indexComplete), "") << step.name;
        if (!indexComplete) ++s.scanningSteps;
        std::string defect = tableview::defects(s.host);
        EXPECT_EQ(defect, "") << step.name;
        if (reference != nullptr)
            checkStep(step, before, after, i == 0 ? Table{} : (*reference)[i - 1], (*reference)[i], struck,
                      step.loads && suspended);
        EXPECT_FALSE(s.dir.exists(kTemp)) << step.name;
        if (step.saves && suspended) {
            EXPECT_EQ(s.dir.read(kData), s.found) << step.name << ": a suspended run saved";
        } else if (step.saves) {
            EXPECT_EQ(s.dir.read(kData), tableview::render(after)) << step.name;
            // The first save after a start-up keeps the file that start-up found.
            if (!savedSinceStart) EXPECT_EQ(s.dir.read(kBackup), s.found) << step.name;
            savedSinceStart = true;
        }
        if (step.loads) savedSinceStart = false;
        tables.push_back(after);
        before = after;
    }
    s.host.shutdown();
    EXPECT_EQ(s.host.memory().liveBlocks, 0u);
    EXPECT_EQ(s.dir.read(kData), suspended ? s.found : tableview::render(before));
    return tables;
}

std::vector<Table> referenceRun() {
    Scenario s;
    std::vector<Table> tables = runScenario(s, nullptr);
    EXPECT_FALSE(::testing::Test::HasFailure()) << "the scenario fails without faults";
    return tables;
}

// Runs the scenario with the `n`th allocation of one kind failing, for every n it reaches.
// Returns how many failures struck; adds to `scanningSteps` the steps that ended with the key
// index incomplete.
int injectEach(const std::function<void(hostsim::Host&, uint64_t)>& arm, int* scanningSteps = nullptr) {
    std::vector<Table> reference = referenceRun();
    int struck = 0;
    for (uint64_t n = 0;; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        Scenario s;
        arm(s.host, n);
        runScenario(s, &reference);
        if (scanningSteps != nullptr) *scanningSteps += s.scanningSteps;
        if (s.host.faultPending()) break;  // the scenario makes no more allocations
        ++struck;
        if (::testing::Test::HasFatalFailure()) break;
    }
    return struck;
}

TEST(AllocationFaultTest, EachHostAllocationFailingInTurnLosesNothingElse) {
    int struck = injectEach([](hostsim::Host& host, uint64_t n) { host.failNewPtrClearAfter(n); });
    EXPECT_GE(struck, 9);  // a value array per record made: three loaded, two new, four loaded again
    printf("NewPtrClear fault points: %d\n", struck);
}

// A record of the file that start-up cannot make (no memory for its value array) would be
// missing from every save of the run: the run saves nothing and says so once, and the file is
// left byte for byte as it was through timer events, a change and shutdown.
TEST(AllocationFaultTest, RecordTheLoadCannotMakeLeavesTheFileAsItWas) {
    const std::string kLogged =
        "[Morvelt] psdata/morvelt.ini cannot be read: Cannot allocate memory. It is left as it is, and nothing is "
        "saved until the host is restarted with the file readable.";
    for (uint64_t n = 0; n < 3; ++n) {  // the value array of each of the file's three records
        SCOPED_TRACE("value array " + std::to_string(n) + " fails");
        Scenario s;
        s.host.failNewPtrClearAfter(n);
        s.startFresh();
        ASSERT_FALSE(s.host.faultPending());
        EXPECT_EQ(s.host.plugin().recordCount(), 2u);
        s.host.advance(0);
        s.host.changeSpot(s.known2, kRoomA, 1, 5);
        s.host.advance(300);
        s.host.shutdown();
        EXPECT_TRUE(s.dir.read(kData) == s.found) << "the file was written";
        EXPECT_FALSE(s.dir.exists(kBackup));
        EXPECT_EQ(std::count(s.host.log().begin(), s.host.log().end(), kLogged), 1);
    }
}

TEST(AllocationFaultTest, EachReallocFailingInTurnLosesNothingElse) {
    if (!hostsim::Host::reallocFaultsSupported()) GTEST_SKIP() << "realloc faults need the plain build";
    int scanningSteps = 0;
    int struck = injectEach([](hostsim::Host&, uint64_t n) { hostsim::Host::failReallocAfter(n); }, &scanningSteps);
    // three variables twice, the records, the reader's buffer, the shrink, the key index's growth
    EXPECT_GE(struck, 12);
    // The index's growth failed, and lookups went to the scan, in some steps.
    EXPECT_GE(scanningSteps, 1);
    printf("realloc fault points: %d, steps ending with lookups left to the scan: %d\n", struck, scanningSteps);
}

}  // namespace
