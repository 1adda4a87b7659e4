// User records in memory: creation and stamping through "SetStats-" changes, expiry at timer
// events, and what the table does when the host's allocator or realloc fails.
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/plugin_fixture.h"

namespace {

constexpr uint32_t kAgeLimit = 432000;

struct Values {
    uint32_t key;
    uint32_t stamp;
    std::vector<int16_t> values;
    bool operator==(const Values& o) const { return key == o.key && stamp == o.stamp && values == o.values; }
};

std::ostream& operator<<(std::ostream& out, const Values& v) {
    out << "{key " << v.key << ", stamp " << v.stamp << ", values";
    for (int16_t value : v.values) out << ' ' << value;
    return out << '}';
}

class RecordsTest : public PluginTest {
  protected:
    // A room with spots named `names`, ids 1 up. (Two plain names would also read as an
    // iterator pair to the host's overload taking spots.)
    void* addRoom(int16_t id, const std::vector<std::string>& names) { return host.addRoom(id, names); }

    // Starts the plug-in with variables score (1) and gold (2) and a room where users store them.
    void startWithTwoVariables() {
        start({"gold", "score"});
        addRoom(1, {"SetStats-score", "SetStats-gold"});
    }

    // A user in room 1 whose key is `key`.
    void* user(uint32_t key) { return host.addUser(key, 0, 1); }

    // The whole table, read through the plug-in's globals.
    std::vector<Values> table() {
        std::vector<Values> result;
        for (uint32_t i = 0; i < host.plugin().recordCount(); ++i) {
            const StatRecord& r = host.plugin().records()[i];
            Values v{r.key, r.stamp, {}};
            for (uint32_t j = 0; j < host.plugin().variableCount(); ++j) v.values.push_back(r.values[j]);
            result.push_back(v);
        }
        return result;
    }

    uint32_t now() { return static_cast<uint32_t>(host.now()); }

    // Shuts the plug-in down and expects every value array to have been given back.
    void expectNothingLeftAfterShutdown() {
        host.shutdown();
        EXPECT_EQ(host.memory().liveBlocks, 0u);
    }
};

// ---- Creation and stamps -------------------------------------------------------------------

TEST_F(RecordsTest, ChangesCreateRecordsInOrderAndStampThemWithThePresent) {
    startWithTwoVariables();
    uint32_t t = now();
    void* alice = user(5001);
    void* bob = user(5002);
    ASSERT_TRUE(host.changeSpot(alice, 1, 1, 7));
    host.advance(10);
    ASSERT_TRUE(host.changeSpot(bob, 1, 2, 3));
    host.advance(10);
    ASSERT_TRUE(host.changeSpot(alice, 1, 1, 8));  // a record found again is stamped again

    EXPECT_EQ(table(), (std::vector<Values>{{5001, t + 20, {8, 0}}, {5002, t + 10, {0, 3}}}));
    EXPECT_EQ(host.memory().liveBlocks, 2u);
    expectNothingLeftAfterShutdown();
}

TEST_F(RecordsTest, WithNoVariablesRecordsStillExist) {
    start({});
    addRoom(1, {"SetStats-score", "GetStats-score"});
    void* alice = user(5001);
    EXPECT_TRUE(host.changeSpot(alice, 1, 1, 7));
    EXPECT_EQ(table(), (std::vector<Values>{{5001, now(), {}}}));
    host.setSpotState(1, 2, 5);
    ASSERT_TRUE(host.enterRoom(alice, 1));
    EXPECT_EQ(host.spotState(1, 2), 0);
    expectNothingLeftAfterShutdown();
}

// ---- Expiry ----------------------------------------------------------------------------------

TEST_F(RecordsTest, ExpiryKeepsTheAgeLimitAndDropsOneSecondMore) {
    startWithTwoVariables();
    uint32_t t = now();
    ASSERT_TRUE(host.changeSpot(user(5001), 1, 1, 7));
    host.setNow(t + 1);
    ASSERT_TRUE(host.changeSpot(user(5002), 1, 1, 8));

    host.setNow(t + 1 + kAgeLimit);  // 5001 is one second past the limit, 5002 at it
    host.timerEvent();
    EXPECT_EQ(table(), (std::vector<Values>{{5002, t + 1, {8, 0}}}));
    EXPECT_EQ(host.memory().liveBlocks, 1u);

    host.setNow(t + 2 + kAgeLimit);  // dropping the only record empties the table
    host.timerEvent();
    EXPECT_EQ(host.plugin().recordCount(), 0u);
    EXPECT_EQ(host.plugin().records(), nullptr);
    EXPECT_EQ(host.memory().liveBlocks, 0u);

    ASSERT_TRUE(host.changeSpot(user(5003), 1, 2, 9));  // and a new one starts
    EXPECT_EQ(table(), (std::vector<Values>{{5003, now(), {0, 9}}}));
    expectNothingLeftAfterShutdown();
}

TEST_F(RecordsTest, ExpiryKeepsTheOrderAndValuesOfTheRecordsLeft) {
    startWithTwoVariables();
    uint32_t t = now();
    for (uint32_t key = 5001; key <= 5005; ++key)
        ASSERT_TRUE(host.changeSpot(user(key), 1, 1, static_cast<int16_t>(key - 5000)));
    host.advance(100);
    ASSERT_TRUE(host.changeSpot(user(5002), 1, 2, 20));
    ASSERT_TRUE(host.changeSpot(user(5004), 1, 2, 40));

    host.setNow(t + kAgeLimit + 1);
    host.timerEvent();
    EXPECT_EQ(table(), (std::vector<Values>{{5002, t + 100, {2, 20}}, {5004, t + 100, {4, 40}}}));
    EXPECT_EQ(host.memory().liveBlocks, 2u);
    expectNothingLeftAfterShutdown();
}

// A clock set back: a record stamped at most kAgeLimit seconds ahead of the present stays;
// further ahead it is dropped. Stamps and the present wrap modulo 2^32.
struct ClockStepCase {
    const char* what;
    uint64_t stamped;  // the clock when the user stored
    uint64_t present;  // the clock at the timer event
    bool stays;
};

const ClockStepCase kClockStepCases[] = {
    {"one second back", 1767225600, 1767225599, true},
    {"set back by the whole limit", 1767225600, 1767225600 - kAgeLimit, true},
    {"set back one second beyond it", 1767225600, 1767225600 - kAgeLimit - 1, false},
    {"at the age limit", 1767225600, 1767225600 + kAgeLimit, true},
    {"one second past the age limit", 1767225600, 1767225600 + kAgeLimit + 1, false},
    {"stamped after the wrap, set back before it", 5, 4294967290u, true},
    {"stamped before the wrap, aged across it", 4294967290u, 4294967296u + 100, true},
    {"far behind across the wrap", 4294967290u, 4294967296u + kAgeLimit, false},
};

TEST_F(RecordsTest, ClockSetBackKeepsRecordsStampedUpToTheLimitAhead) {
    for (const ClockStepCase& c : kClockStepCases) {
        SCOPED_TRACE(c.what);
        startWithTwoVariables();
        host.setNow(c.stamped);
        ASSERT_TRUE(host.changeSpot(user(5001), 1, 1, 7));
        host.setNow(c.present);
        host.timerEvent();
        EXPECT_EQ(host.plugin().recordCount(), c.stays ? 1u : 0u);
        expectNothingLeftAfterShutdown();
    }
}

TEST_F(RecordsTest, ShowingValuesDoesNotKeepARecordAlive) {
    startWithTwoVariables();
    addRoom(2, {"GetStats-score"});
    uint32_t t = now();
    void* alice = user(5001);
    ASSERT_TRUE(host.changeSpot(alice, 1, 1, 7));
    host.setNow(t + kAgeLimit);
    ASSERT_TRUE(host.enterRoom(alice, 2));
    EXPECT_EQ(host.spotState(2, 1), 7);
    host.setNow(t + kAgeLimit + 1);
    host.timerEvent();
    EXPECT_EQ(host.plugin().recordCount(), 0u);
}

// ---- After 2038 ------------------------------------------------------------------------------

// A present past 2^31 - 1 seconds, where a C library's 32-bit clock either cuts the seconds to
// 32 bits or has ended, on a kernel with or without the 64-bit clock call.
struct ClockCase {
    const char* name;
    hostsim::ClockLibrary library;
    uint64_t present;
    hostsim::KernelClock kernel = hostsim::KernelClock::Linux5_1;
};

const ClockCase kClockCases[] = {
    {"CutJustPast2To31", hostsim::ClockLibrary::Cut, (1ull << 31) + 1},
    {"EndedJustPast2To31", hostsim::ClockLibrary::Overflow, (1ull << 31) + 1},
    {"CutAt3000000100", hostsim::ClockLibrary::Cut, 3000000100u},
    {"EndedAt3000000100", hostsim::ClockLibrary::Overflow, 3000000100u},
    {"CutPast2To32", hostsim::ClockLibrary::Cut, (1ull << 32) + 100},
    {"EndedPast2To32", hostsim::ClockLibrary::Overflow, (1ull << 32) + 100},
    // A new C library on a kernel before 5.1: only the 32-bit calls answer.
    {"EndedOnAnOldKernelAt2To31Plus100", hostsim::ClockLibrary::Overflow, (1ull << 31) + 100,
     hostsim::KernelClock::Before5_1},
    {"EndedOnAnOldKernelAt3000000100", hostsim::ClockLibrary::Overflow, 3000000100u, hostsim::KernelClock::Before5_1},
};

void PrintTo(const ClockCase& c, std::ostream* out) { *out << c.name; }

// A stamp as the data file writes it: ten unsigned decimal digits.
std::string stampText(uint32_t stamp) {
    char text[11];
    snprintf(text, sizeof text, "%010u", stamp);
    return text;
}

class After2038Test : public RecordsTest, public testing::WithParamInterface<ClockCase> {};

TEST_P(After2038Test, StampsExpiryAndTheFileUseTheLow32BitsOfThePresent) {
    const ClockCase& c = GetParam();
    host.setClockLibrary(c.library);
    host.setKernelClock(c.kernel);
    start({"score"});
    addRoom(1, {"SetStats-score"});
    auto stampAt = [&](uint64_t ago) { return static_cast<uint32_t>(c.present - ago); };

    host.setNow(c.present - 432001);
    ASSERT_TRUE(host.changeSpot(user(1001), 1, 1, 7));
    host.setNow(c.present - 1000);
    ASSERT_TRUE(host.changeSpot(user(1002), 1, 1, 8));
    EXPECT_EQ(table(), (std::vector<Values>{{1001, stampAt(432001), {7}}, {1002, stampAt(1000), {8}}}));

    host.setNow(c.present);
    host.timerEvent();
    EXPECT_EQ(table(), (std::vector<Values>{{1002, stampAt(1000), {8}}}));
    ASSERT_TRUE(host.changeSpot(user(1001), 1, 1, 9));
    EXPECT_EQ(table(), (std::vector<Values>{{1002, stampAt(1000), {8}}, {1001, stampAt(0), {9}}}));
    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"),
              "[FIB:" + stampText(stampAt(1000)) + "]\nscore=8\n[EIB:" + stampText(stampAt(0)) + "]\nscore=9\n");

    if (c.library == hostsim::ClockLibrary::Cut) {
        EXPECT_EQ(host.clockCalls().kernel, 0u);
    } else {  // the clock's end is noticed once; from then on only the kernel's clock is asked
        EXPECT_EQ(host.clockCalls().overflows, 1u);
    }
    if (c.kernel == hostsim::KernelClock::Before5_1)  // the missing call is noticed once
        EXPECT_EQ(host.clockCalls().kernel, 1u);
    EXPECT_EQ(host.log().size(), 1u) << "only the start-up line";
}

using NoClockTest = RecordsTest;

// With a new C library past 2038 on a kernel where no clock call answers: stamps stand still at
// the last present read (or the newest stamp loaded), no record is expired, and the silence and
// its end are logged once each.
TEST_F(NoClockTest, WhereNoClockAnswersNothingExpiresAndStampsStandStill) {
    const uint64_t present = 3000000100u;
    const uint32_t stale = static_cast<uint32_t>(present - kAgeLimit - 10);
    const uint32_t fresh = static_cast<uint32_t>(present - 1000);
    ASSERT_TRUE(dir.write("psdata/morvelt.ini",
                          "[EIB:" + stampText(stale) + "]\nscore=1\n[FIB:" + stampText(fresh) + "]\nscore=2\n"));
    host.setNow(present);
    host.setKernelClock(hostsim::KernelClock::None);
    start({"score"});
    addRoom(1, {"SetStats-score"});
    ASSERT_TRUE(host.changeSpot(user(1003), 1, 1, 3));  // stamped with the newest stamp loaded
    for (int event = 0; event < 3; ++event) host.advance(300);
    EXPECT_EQ(table(), (std::vector<Values>{{1001, stale, {1}}, {1002, fresh, {2}}, {1003, fresh, {3}}}));
    const std::vector<std::string> silent{"[Morvelt] no clock answers: users are stamped with the last time read "
                                          "and none is expired until a clock answers again."};
    EXPECT_EQ(std::vector<std::string>(host.log().begin() + 1, host.log().end()), silent);

    host.setKernelClock(hostsim::KernelClock::Before5_1);
    host.advance(300);
    const uint32_t answered = now();
    EXPECT_EQ(table(), (std::vector<Values>{{1002, fresh, {2}}, {1003, fresh, {3}}}));
    host.setKernelClock(hostsim::KernelClock::None);
    host.setNow(present + 5000);
    ASSERT_TRUE(host.changeSpot(user(1004), 1, 1, 4));  // stamped with the last present read
    host.advance(300);
    EXPECT_EQ(table(), (std::vector<Values>{{1002, fresh, {2}}, {1003, fresh, {3}}, {1004, answered, {4}}}));
    std::vector<std::string> lines = silent;
    lines.push_back("[Morvelt] the clock answers again.");
    EXPECT_EQ(std::vector<std::string>(host.log().begin() + 1, host.log().end()), lines) << "one line each a life";
    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[FIB:" + stampText(fresh) + "]\nscore=2\n[GIB:" + stampText(fresh) +
                                                  "]\nscore=3\n[HIB:" + stampText(answered) + "]\nscore=4\n");
}

TEST_F(NoClockTest, WhereNoClockAnswersAndNothingWasReadStampsAreZero) {
    host.setNow(3000000100u);
    host.setKernelClock(hostsim::KernelClock::None);
    start({"score"});
    addRoom(1, {"SetStats-score"});
    ASSERT_TRUE(host.changeSpot(user(1001), 1, 1, 7));
    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:0000000000]\nscore=7\n");
}

INSTANTIATE_TEST_SUITE_P(ClockLibraries, After2038Test, testing::ValuesIn(kClockCases),
                         [](const testing::TestParamInfo<ClockCase>& info) { return info.param.name; });

// ---- Memory faults ---------------------------------------------------------------------------

TEST_F(RecordsTest, NoValueArrayMeansNoRecordAndTheChangePasses) {
    startWithTwoVariables();
    uint32_t t = now();
    ASSERT_TRUE(host.changeSpot(user(5001), 1, 1, 7));
    void* bob = user(5002);

    host.failNewPtrClearAfter(0);
    EXPECT_TRUE(host.changeSpot(bob, 1, 1, 8));
    EXPECT_EQ(table(), (std::vector<Values>{{5001, t, {7, 0}}}));

    EXPECT_TRUE(host.changeSpot(bob, 1, 1, 9));  // the next try succeeds
    EXPECT_EQ(table(), (std::vector<Values>{{5001, t, {7, 0}}, {5002, t, {9, 0}}}));
    expectNothingLeftAfterShutdown();
}

TEST_F(RecordsTest, TableThatCannotGrowKeepsItsRecordsAndGivesTheArrayBack) {
    if (!hostsim::Host::reallocFaultsSupported()) GTEST_SKIP() << "realloc faults need the plain build";
    startWithTwoVariables();
    uint32_t t = now();
    ASSERT_TRUE(host.changeSpot(user(5001), 1, 1, 7));
    void* bob = user(5002);

    hostsim::Host::failReallocAfter(0);
    EXPECT_TRUE(host.changeSpot(bob, 1, 1, 8));
    EXPECT_EQ(table(), (std::vector<Values>{{5001, t, {7, 0}}}));
    EXPECT_EQ(host.memory().liveBlocks, 1u);

    EXPECT_TRUE(host.changeSpot(bob, 1, 1, 9));
    EXPECT_EQ(table(), (std::vector<Values>{{5001, t, {7, 0}}, {5002, t, {9, 0}}}));
    expectNothingLeftAfterShutdown();
}

TEST_F(RecordsTest, TableThatCannotShrinkKeepsItsLargerBlock) {
    if (!hostsim::Host::reallocFaultsSupported()) GTEST_SKIP() << "realloc faults need the plain build";
    startWithTwoVariables();
    uint32_t t = now();
    ASSERT_TRUE(host.changeSpot(user(5001), 1, 1, 7));
    host.setNow(t + 10);
    ASSERT_TRUE(host.changeSpot(user(5002), 1, 1, 8));
    ASSERT_TRUE(host.changeSpot(user(5003), 1, 1, 9));

    host.setNow(t + kAgeLimit + 1);
    hostsim::Host::failReallocAfter(0);  // the shrink is the timer event's first realloc
    host.timerEvent();
    EXPECT_EQ(table(), (std::vector<Values>{{5002, t + 10, {8, 0}}, {5003, t + 10, {9, 0}}}));
    EXPECT_EQ(host.memory().liveBlocks, 2u);

    ASSERT_TRUE(host.changeSpot(user(5004), 1, 2, 4));
    EXPECT_EQ(host.plugin().recordCount(), 3u);
    expectNothingLeftAfterShutdown();
}

}  // namespace
