// Loading the data file: how each line is told apart (header, variable line, other) and which
// variable a variable line names, whatever order the lines come in; and a file loaded then saved
// coming back byte for byte.
#include <string>
#include <vector>

#include "tests/plugin_fixture.h"

namespace {

using LoadTest = PluginTest;

struct LineCase {
    const char* what;
    std::string file;             // lines after the header "[EIB:1136073600]" (key 1001)
    std::vector<int16_t> values;  // score, lives, gold of key 1001 after the load
};

TEST_F(LoadTest, VariableLinesAreMatchedByTheirWholeNameInAnyOrder) {
    const std::vector<LineCase> cases = {
        {"index order", "score=12\nlives=-3\ngold=5\n", {12, -3, 5}},
        {"reverse order", "gold=5\nlives=-3\nscore=12\n", {12, -3, 5}},
        {"a name twice: the last wins", "score=1\nlives=2\nscore=3\n", {3, 2, 0}},
        {"unknown names skipped", "scores=1\nlive=2\ngold=4\n", {0, 0, 4}},
        {"no trimming", "score =5\n score=6\nlives=7\n", {0, 7, 0}},
        {"text ends at a NUL", std::string("sc\0ore=5\nlives=1\0=2\n", 20), {0, 1, 0}},
        {"']' before '[' is no header", "lives=4]x[\ngold=2\n", {0, 4, 2}},
        {"'[' then ']' after '=' is a header", "score=1\nlives=[x]\ngold=2\n", {1, 0, 0}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1136073600]\n" + c.file));
        start({"gold", "lives", "score"});
        ASSERT_EQ(host.plugin().recordCount(), 1u);
        const StatRecord& record = host.plugin().records()[0];
        EXPECT_EQ(record.key, 1001u);
        EXPECT_EQ(std::vector<int16_t>(record.values, record.values + 3), c.values);
        host.shutdown();
    }
}

TEST_F(LoadTest, LongNameGivenTwiceIsOneVariableThatEveryLineReaches) {
    // Both arguments are cut to the same 15 characters, which the table then holds once.
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1136073600]\nabcdefghijklmno=5\nabcdefghijklmno=6\n"));
    start({"abcdefghijklmnopq", "abcdefghijklmnopq"});
    ASSERT_EQ(host.plugin().variableCount(), 1u);
    ASSERT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(host.plugin().records()[0].values[0], 6);
}

TEST_F(LoadTest, FileWrittenByThePluginIsSavedBackByteForByte) {
    std::string stamp = std::to_string(host.now() - 5);
    std::string file;
    for (const char* key : {"EIB", "MMMNDOBHB", "FFFFFFFFF"}) {
        file += std::string("[") + key + ":" + stamp + "]\n";
        file += "abcdefghijklmno=-32768\nx=32767\nscore=0\n";
    }
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", file));
    start({"score", "x", "abcdefghijklmno"});
    host.advance(0);  // the first timer event rewrites the file
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
}

}  // namespace
