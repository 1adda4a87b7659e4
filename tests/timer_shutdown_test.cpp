// The timer and shutdown: each timer event drops stale records, rewrites the data file and asks
// for the next event; shutdown does that once more, gives back all memory and asks for nothing.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"

namespace {

constexpr uint32_t kAgeLimit = 432000;

class TimerTest : public PluginTest {
  protected:
    uint32_t now() const { return static_cast<uint32_t>(host.now()); }

    // The delays of every timer request so far, in order.
    std::vector<int32_t> delays() const {
        std::vector<int32_t> result;
        for (const hostsim::TimerRequest& request : host.timerRequests()) result.push_back(request.delay);
        return result;
    }

    // A file with records 1001 (just too old), 1002 (exactly at the age limit), 1003 (stamped
    // just too far in the future) and 1004 (stamped ahead by the limit, as by a clock set back),
    // each with score and a line the next save drops.
    std::string agedFile() const {
        return header("EIB", now() - kAgeLimit - 1) + "score=1\n; note\n" +
               header("FIB", now() - kAgeLimit) + "score=2\n" +
               header("GIB", now() + kAgeLimit + 1) + "score=3\n" +
               header("HIB", now() + kAgeLimit) + "score=4\n";
    }
};

TEST_F(TimerTest, FirstEventRightAfterStartUpDropsOldRecordsAndRewritesTheFile) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", agedFile()));
    start({"score"});
    EXPECT_EQ(host.plugin().recordCount(), 4u);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), agedFile()) << "nothing is written before the first event";

    EXPECT_EQ(host.fireDueTimers(), 1);
    EXPECT_EQ(recordTable(host.plugin(), now()),
              (std::vector<std::string>{"1002 " + std::to_string(now() - kAgeLimit) + " 2",
                                        "1004 " + std::to_string(now() + kAgeLimit) + " 4"}));
    EXPECT_EQ(dir.read("psdata/morvelt.ini"),
              header("FIB", now() - kAgeLimit) + "score=2\n" + header("HIB", now() + kAgeLimit) + "score=4\n");
}

TEST_F(TimerTest, StartUpWithoutAFileWritesOneAtTheFirstEvent) {
    start({"score"});
    ASSERT_FALSE(dir.exists("psdata/morvelt.ini"));
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    void* user = host.addUser(1001, 0);
    ASSERT_TRUE(host.logon(user, 7));
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 9));
    host.advance(0);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), header("EIB", now()) + "score=9\n");
}

TEST_F(TimerTest, EachEventAsksForTheNextWithDelay300) {
    start({"score"});
    host.advance(900);
    EXPECT_EQ(delays(), (std::vector<int32_t>{0, 300, 300, 300, 300}));
    for (const hostsim::TimerRequest& request : host.timerRequests()) {
        EXPECT_EQ(request.handle, host.handle());
        EXPECT_EQ(request.zero, 0);
    }
    // The event hands back what the host's timer call returned (the simulator returns the
    // number of requests so far).
    int32_t result = host.timerEvent();
    EXPECT_EQ(result, static_cast<int32_t>(host.timerRequests().size()));
}

TEST_F(TimerTest, EventThatCannotWriteStillExpiresAndAsksAgain) {
    uint32_t started = now();
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", header("EIB", started - kAgeLimit - 1) + "score=1\n" +
                                                    header("FIB", started) + "score=2\n"));
    start({"score"});
    ASSERT_EQ(unlink("psdata/morvelt.ini"), 0);
    ASSERT_EQ(rmdir("psdata"), 0);

    host.advance(0);
    EXPECT_EQ(host.plugin().recordCount(), 1u) << "expired despite the failed save";
    EXPECT_EQ(delays(), (std::vector<int32_t>{0, 300}));
    EXPECT_FALSE(dir.exists("psdata"));

    ASSERT_EQ(mkdir("psdata", 0755), 0);
    host.advance(300);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), header("FIB", started) + "score=2\n")
        << "the records stayed in memory and the next event saved them";
}

TEST_F(TimerTest, EmptyTableWritesAnEmptyFile) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", header("EIB", 5) + "score=1\n"));
    start({"score"});
    host.advance(0);
    EXPECT_EQ(host.plugin().recordCount(), 0u);
    EXPECT_TRUE(dir.exists("psdata/morvelt.ini"));
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "");
}

using ShutdownTest = TimerTest;

TEST_F(ShutdownTest, DropsOldRecordsAndSavesOnceMore) {
    start({"gold", "lives", "score"});
    host.advance(0);
    host.addRoom(7, std::vector<std::string>{"SetStats-score", "SetStats-gold"});
    void* early = host.addUser(1001, 0);
    void* late = host.addUser(1002, 0);
    ASSERT_TRUE(host.logon(early, 7));
    ASSERT_TRUE(host.changeSpot(early, 7, 1, 4));
    host.setNow(host.now() + kAgeLimit);  // no event runs in between
    ASSERT_TRUE(host.logon(late, 7));
    ASSERT_TRUE(host.changeSpot(late, 7, 2, -8));
    host.setNow(host.now() + 1);  // 1001 is now one second too old

    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), header("FIB", now() - 1) + "score=0\nlives=0\ngold=-8\n");
}

TEST_F(ShutdownTest, GivesBackValueArraysThenBothTablesAndAsksForNoTimer) {
    start({"lives", "score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    for (uint32_t key : {1001u, 1002u}) {
        void* user = host.addUser(key, 0);
        ASSERT_TRUE(host.logon(user, 7));
        ASSERT_TRUE(host.changeSpot(user, 7, 1, 1));
    }
    ASSERT_EQ(host.plugin().recordCount(), 2u);
    std::vector<void*> expected{host.plugin().records()[0].values, host.plugin().records()[1].values,
                                host.plugin().records(), host.plugin().variables()};
    size_t requests = host.timerRequests().size();
    host.recordDisposals(true);
    host.shutdown();

    EXPECT_EQ(host.disposals(), expected);
    EXPECT_EQ(host.memory().liveBlocks, 0u);
    EXPECT_EQ(host.plugin().records(), nullptr);
    EXPECT_EQ(host.plugin().recordCount(), 0u);
    EXPECT_EQ(host.plugin().variables(), nullptr);
    EXPECT_EQ(host.plugin().variableCount(), 0u);
    EXPECT_EQ(host.timerRequests().size(), requests) << "shutdown asks for no timer";
}

TEST_F(ShutdownTest, WithNothingAtAllHandsDisposePtrTwoNullsAndLeavesAnEmptyFile) {
    start({});
    host.recordDisposals(true);
    host.shutdown();
    EXPECT_EQ(host.disposals(), (std::vector<void*>{nullptr, nullptr}));
    EXPECT_TRUE(dir.exists("psdata/morvelt.ini"));
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "");
    EXPECT_EQ(host.timerRequests().size(), 1u) << "only start-up's request";
}

TEST_F(ShutdownTest, TimerEventOrSecondShutdownAfterShutdownDoesNothing) {
    start({"score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    void* user = host.addUser(1001, 0);
    ASSERT_TRUE(host.logon(user, 7));
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 5));
    host.shutdown();
    const std::string saved = dir.read("psdata/morvelt.ini");
    ASSERT_EQ(saved, header("EIB", now()) + "score=5\n");
    size_t requests = host.timerRequests().size();

    EXPECT_EQ(host.timerEvent(), 0);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), saved) << "the empty tables were saved over the file";
    EXPECT_EQ(host.timerRequests().size(), requests) << "a timer was asked for";
    host.plugin().shutdown(nullptr);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), saved) << "a second shutdown saved the empty tables";
}

// ---- A start-up while running ---------------------------------------------------------------

using RestartTest = TimerTest;

TEST_F(RestartTest, StartUpWhileRunningWithTheSameArgumentsKeepsAnUnsavedValue) {
    start({"score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    void* user = host.addUser(1001, 0);
    ASSERT_TRUE(host.logon(user, 7));
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 7));
    host.advance(0);
    ASSERT_EQ(dir.read("psdata/morvelt.ini"), header("EIB", now()) + "score=7\n");
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 9));

    start({"score"});
    EXPECT_EQ(recordTable(host.plugin(), now()), (std::vector<std::string>{"1001 now 9"}));
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), header("EIB", now()) + "score=9\n");
    EXPECT_EQ(host.memory().liveBlocks, 1u) << "one value array";
    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), header("EIB", now()) + "score=9\n");
    EXPECT_EQ(host.memory().liveBlocks, 0u);
}

TEST_F(RestartTest, StartUpWhileRunningWithMoreVariablesSizesEveryRecordAnew) {
    constexpr uint32_t kUsers = 300;
    start({"score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    std::vector<void*> users;
    for (uint32_t i = 0; i < kUsers; ++i) {
        users.push_back(host.addUser(1001 + i, 0));
        ASSERT_TRUE(host.logon(users.back(), 7));
        ASSERT_TRUE(host.changeSpot(users.back(), 7, 1, static_cast<int16_t>(i)));
    }

    std::vector<std::string> names;
    for (int v = 9; v >= 1; --v) names.push_back("v" + std::to_string(v));
    names.push_back("score");  // the last argument: variable 1, as before
    start(names);
    ASSERT_EQ(host.plugin().variableCount(), 10u);
    host.addRoom(8, std::vector<std::string>{"SetStats-v9"});  // variable 10, the array's last slot
    for (uint32_t i = 0; i < kUsers; ++i) {
        ASSERT_TRUE(host.enterRoom(users[i], 8));
        ASSERT_TRUE(host.changeSpot(users[i], 8, 1, static_cast<int16_t>(-1 - static_cast<int32_t>(i))));
    }
    ASSERT_EQ(host.plugin().recordCount(), kUsers);
    for (uint32_t i = 0; i < kUsers; ++i) {
        const StatRecord& record = host.plugin().records()[i];
        ASSERT_EQ(record.key, 1001 + i);
        EXPECT_EQ(record.values[0], static_cast<int16_t>(i));
        EXPECT_EQ(record.values[9], static_cast<int16_t>(-1 - static_cast<int32_t>(i)));
        for (int v = 1; v < 9; ++v) EXPECT_EQ(record.values[v], 0) << "key " << record.key << " slot " << v;
    }
    host.shutdown();
    EXPECT_EQ(host.memory().liveBlocks, 0u);
}

}  // namespace
