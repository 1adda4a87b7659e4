// Loading the data file: how each line is told apart (header, variable line, other) and which
// variable a variable line names, whatever order the lines come in; and a file loaded then saved
// coming back byte for byte; and a data path that leads to no regular file (a FIFO, a device),
// which start-up never reads nor waits on.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
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

struct NotRegular {
    const char* what;
    std::function<int()> make;  // makes it at the data path; 0 or -1
    const char* kind;           // as the log names it
    mode_t type;                // what stays at the data path
};

// Start-up on each runs in a child that an alarm ends: a start-up that waits on a FIFO, or reads
// a device that never ends, fails the case instead of hanging the test.
TEST_F(LoadTest, ADataPathLeadingToNoRegularFileIsNeitherReadNorWritten) {
    const std::vector<NotRegular> cases = {
        {"a FIFO", [] { return mkfifo("psdata/morvelt.ini", 0644); }, "a FIFO", S_IFIFO},
        {"a symbolic link to /dev/zero", [] { return symlink("/dev/zero", "psdata/morvelt.ini"); },
         "a character device", S_IFLNK},
        {"a folder", [] { return mkdir("psdata/morvelt.ini", 0755); }, "a folder", S_IFDIR},
    };
    for (const NotRegular& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.make(), 0);
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            alarm(20);
            start({"score"});
            bool logged = host.log().size() == 2 &&
                          host.log()[1] == std::string("[Morvelt] psdata/morvelt.ini cannot be read: it is ") + c.kind +
                                               ", not a regular file. It is left as it is, and nothing is saved until "
                                               "the host is restarted with a regular file there.";
            host.addRoom(7, std::vector<std::string>{"SetStats-score"});
            void* user = host.addUser(1002, 0);
            host.logon(user, 7);
            host.changeSpot(user, 7, 1, 6);
            host.advance(600);
            host.shutdown();
            struct stat after;
            bool kept = lstat("psdata/morvelt.ini", &after) == 0 && (after.st_mode & S_IFMT) == c.type &&
                        access("psdata/morvelt.ini.bak", F_OK) != 0 && access("psdata/morvelt.ini.tmp", F_OK) != 0;
            _exit((logged ? 0 : 1) | (kept ? 0 : 2) | (host.log().size() == 2 ? 0 : 4));
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "start-up hung or died, status " << status;
        EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "not the log line";
        EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "the data path or the folder changed";
        EXPECT_EQ(WEXITSTATUS(status) & 4, 0) << "more log lines";
        ASSERT_EQ(system("rm -rf psdata/morvelt.ini"), 0);
    }
}

}  // namespace
