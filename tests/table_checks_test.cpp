// The checked build's rules on the tables, checked after each entry point and reported through
// morveltIndexCheck: a breach made behind the plug-in's back is reported at the next entry point.
#include "tests/plugin_fixture.h"
#include "tests/table_view.h"

namespace {

class TableChecksTest : public PluginTest {
  protected:
    void SetUp() override {
        PluginTest::SetUp();
        start({"score"});
        host.addRoom(1, {"SetStats-score"});
        for (uint32_t key : {1001u, 1002u}) ASSERT_TRUE(host.changeSpot(host.addUser(key, 0, 1), 1, 1, 1));
        ASSERT_EQ(tableview::indexDefect(host), "");
    }

    StatRecord& record(uint32_t position) { return host.plugin().records()[position]; }
};

TEST_F(TableChecksTest, ARecordWithoutValuesIsReported) {
    int16_t* values = record(1).values;
    record(1).values = nullptr;
    host.timerEvent();
    EXPECT_EQ(tableview::indexDefect(host), "key index: record 1 (key 1002) has no values");
    record(1).values = values;
}

TEST_F(TableChecksTest, AKeyHeldTwiceIsReported) {
    record(1).key = 1001;
    host.timerEvent();
    EXPECT_EQ(tableview::indexDefect(host), "key index: key 1001 held by two records");
    record(1).key = 1002;
}

TEST_F(TableChecksTest, AKeyAtTheFloorIsReported) {
    record(0).key = 1000;
    host.advance(0);
    EXPECT_EQ(tableview::indexDefect(host), "key index: record 0 has key 1000, at or below the floor");
    record(0).key = 1001;
}

TEST_F(TableChecksTest, ALifeThatKeepsItsRulesReportsNothing) {
    host.advance(600);
    host.shutdown();
    host.timerEvent();
    EXPECT_EQ(tableview::indexDefect(host), "");
}

}  // namespace
