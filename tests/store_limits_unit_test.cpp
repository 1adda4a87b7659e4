// The store where a size reaches its limit: a line buffer that cannot double, a record table too
// long to index, a name length that does not fit in 32 bits. Built with test-only caps
// (MORVELT_LINE_BUFFER_MAX, MORVELT_INDEX_MAX_RECORDS) that stand for limits out of reach.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "sim/work_dir.h"
#include "store/data_file.h"
#include "store/key_index.h"
#include "store/records.h"
#include "store/variables.h"

// The host's allocator and log, as the store uses them; the log keeps its last line.
static std::string lastLog;
extern "C" void* NewPtrClear(int32_t size) { return calloc(1, size == 0 ? 1 : static_cast<size_t>(size)); }
extern "C" void DisposePtr(void* block) { free(block); }
extern "C" void FormattedLogMessage(int32_t, const char*, const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    lastLog = text;
}

namespace {

constexpr size_t kLineBufferMax = MORVELT_LINE_BUFFER_MAX;
constexpr uint32_t kIndexMax = MORVELT_INDEX_MAX_RECORDS;

class StoreLimits : public ::testing::Test {
  protected:
    void SetUp() override { store::registerVariable("score"); }
    void TearDown() override {
        store::disposeRecords();
        store::disposeVariables();
        store::resetSaveState();
    }
    hostsim::WorkDir dir;
};

// A file with one record whose value line is `length` bytes long.
std::string fileWithALineOf(size_t length) {
    std::string line = "score=7";
    line.append(length - line.size(), ' ');
    return "[EIB:0000000000]\n" + line + "\n";
}

TEST_F(StoreLimits, ALineTheBufferCannotHoldMakesTheFileUnreadable) {
    struct Case {
        size_t length;
        store::LoadResult result;
    } cases[] = {
        {kLineBufferMax / 2 + 1000, store::LoadResult::kRead},  // fits once the buffer has doubled to the cap
        {kLineBufferMax, store::LoadResult::kUnreadable},       // a line and a chunk need more than the cap
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        lastLog.clear();
        ASSERT_TRUE(dir.write("psdata/morvelt.ini", fileWithALineOf(c.length)));
        EXPECT_EQ(store::loadStats(), c.result);
        if (c.result == store::LoadResult::kRead) {
            ASSERT_EQ(nbrRec, 1u);
            EXPECT_EQ(isRec[0].values[0], 7);
        } else {
            EXPECT_EQ(lastLog.rfind("psdata/morvelt.ini cannot be read: Cannot allocate memory.", 0), 0u) << lastLog;
        }
        store::disposeRecords();
    }
}

TEST_F(StoreLimits, ATableTooLongToIndexIsScannedAndIndexedAgainOnceShorter) {
    const uint32_t records = kIndexMax + 10;
    for (uint32_t i = 0; i < records; ++i)  // the first ten are stamped long ago, the rest now
        ASSERT_NE(store::findOrCreateRecord(5001 + i, i < 10 ? 1 : 0), nullptr);
    ASSERT_EQ(nbrRec, records);
    for (uint32_t i = 0; i < records; ++i) {
        StatRecord* found = store::findRecord(5001 + i);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->key, 5001 + i);
    }
    EXPECT_EQ(store::findRecord(4000), nullptr);
    int32_t complete = -1;
    EXPECT_STREQ(morveltIndexCheck(&complete), "");
    EXPECT_EQ(complete, 0) << "lookups scan";

    store::expireRecords();
    ASSERT_EQ(nbrRec, kIndexMax);
    EXPECT_STREQ(morveltIndexCheck(&complete), "");
    EXPECT_EQ(complete, 0) << "still too long";
    store::findRecord(5001 + 10)->stamp = 1;
    store::expireRecords();
    ASSERT_EQ(nbrRec, kIndexMax - 1);
    EXPECT_STREQ(morveltIndexCheck(&complete), "");
    EXPECT_EQ(complete, 1) << "indexed again";
    EXPECT_EQ(store::findRecord(5001 + 11)->key, 5001u + 11);
}

TEST_F(StoreLimits, ANameLengthBeyond32BitsNamesNoVariable) {
    if (sizeof(size_t) < 8) GTEST_SKIP() << "a length beyond 32 bits needs a 64-bit build";
    const char text[] = "score=1";
    EXPECT_EQ(store::variableIndex(text, 5), 1u);
    EXPECT_EQ(store::variableIndex(text, static_cast<size_t>((uint64_t{1} << 32) + 5)), 0u);
}

}  // namespace
