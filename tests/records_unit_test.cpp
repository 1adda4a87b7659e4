// The record table's lookups, tested directly: the stamps that findOrCreateRecord sets, which the
// plug-in's messages only ever ask for as 0 (the present).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "store/records.h"
#include "store/variables.h"

// The host's allocator, as the record table uses it.
extern "C" void* NewPtrClear(int32_t size) { return calloc(1, size == 0 ? 1 : static_cast<size_t>(size)); }
extern "C" void DisposePtr(void* block) { free(block); }
// The host's log, where a refused variable name is reported; these tests look at no line.
extern "C" void FormattedLogMessage(int32_t, const char*, const char*, ...) {}

namespace {

class RecordTable : public ::testing::Test {
  protected:
    void SetUp() override { store::registerVariable("score"); }
    void TearDown() override {
        store::disposeRecords();
        free(isVar);
        isVar = nullptr;
        nbrVar = 0;
    }
};

TEST_F(RecordTable, NonZeroStampIsTakenAsGivenEvenWhenOlder) {
    StatRecord* made = store::findOrCreateRecord(5001, 2000000);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->stamp, 2000000u);
    made->values[0] = 7;

    StatRecord* found = store::findOrCreateRecord(5001, 1000000);
    EXPECT_EQ(found, made);
    EXPECT_EQ(found->stamp, 1000000u);
    EXPECT_EQ(found->values[0], 7);
    EXPECT_EQ(nbrRec, 1u);
}

// Whether findOrCreateRecord(key, 0) stamps the record with the present time.
testing::AssertionResult stampsWithThePresent(uint32_t key) {
    uint32_t before = static_cast<uint32_t>(time(nullptr));
    StatRecord* record = store::findOrCreateRecord(key, 0);
    uint32_t after = static_cast<uint32_t>(time(nullptr));
    if (record == nullptr) return testing::AssertionFailure() << "no record";
    if (record->stamp < before || record->stamp > after)
        return testing::AssertionFailure() << "stamp " << record->stamp << " outside " << before << ".." << after;
    return testing::AssertionSuccess();
}

TEST_F(RecordTable, ZeroStampIsThePresentForNewAndFoundRecords) {
    EXPECT_TRUE(stampsWithThePresent(5001));
    ASSERT_NE(store::findOrCreateRecord(5002, 1), nullptr);
    EXPECT_TRUE(stampsWithThePresent(5002));
    EXPECT_EQ(nbrRec, 2u);
}

TEST_F(RecordTable, KeysUpToTheFloorAreNeverFoundOrMade) {
    EXPECT_EQ(store::findOrCreateRecord(store::kKeyFloor, 5), nullptr);
    EXPECT_EQ(store::findOrCreateRecord(0, 5), nullptr);
    EXPECT_EQ(nbrRec, 0u);
    EXPECT_EQ(isRec, nullptr);
    EXPECT_NE(store::findOrCreateRecord(store::kKeyFloor + 1, 5), nullptr);
    EXPECT_NE(store::findRecord(store::kKeyFloor + 1), nullptr);
    EXPECT_EQ(store::findRecord(store::kKeyFloor), nullptr);
}

}  // namespace
