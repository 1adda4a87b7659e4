// The data file: the format written, the reading rules, the road of a value through a restart,
// and the guards against losing data: the atomic save and the backup of the file found at
// start-up. tests/file_setups_test.cpp covers the file as operators set it up, and a file that
// cannot be read.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include "store/key_names.h"
#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kTemp[] = "psdata/morvelt.ini.tmp";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";

class DataFileTest : public PluginTest {
  protected:
    uint32_t now() const { return static_cast<uint32_t>(host.now()); }

    // The names in psdata, sorted.
    std::vector<std::string> dataFolder() const {
        std::vector<std::string> names;
        DIR* folder = opendir("psdata");
        if (folder == nullptr) return names;
        while (dirent* entry = readdir(folder))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
        closedir(folder);
        std::sort(names.begin(), names.end());
        return names;
    }

    // Logs a user with key `key` on in room 7 and returns it.
    void* logOn(uint32_t key) {
        void* user = host.addUser(key, 0);
        EXPECT_TRUE(host.logon(user, 7));
        return user;
    }

    // Stores `value` through room 7's SetStats spot `spotId` as a user with key `key`.
    void store(uint32_t key, int16_t spotId, int16_t value) {
        EXPECT_TRUE(host.changeSpot(logOn(key), 7, spotId, value));
    }
};

// ---- The format written ------------------------------------------------------------------

TEST_F(DataFileTest, WritesTheFourLineExampleByteForByte) {
    host.setNow(1136073600);
    start({"gold", "lives", "score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score", "SetStats-lives"});
    void* user = logOn(1001);
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 12));
    ASSERT_TRUE(host.changeSpot(user, 7, 2, -3));
    host.advance(0);
    EXPECT_EQ(dir.read(kData), "[EIB:1136073600]\nscore=12\nlives=-3\ngold=0\n");
}

TEST_F(DataFileTest, RewritingAFileItWroteChangesNothing) {
    // The longest key name, the extreme values, a 15-character name and a stamp past 2^31.
    host.setNow(3000000000u);
    const std::string file = header("EIB", now()) + "abcdefghijklmno=32767\nscore=-32768\n" +
                             header("MMMNDOBHB", now() - 432000) + "abcdefghijklmno=0\nscore=-1\n" +
                             header("FIB", now() - 1) + "abcdefghijklmno=7\nscore=0\n";
    ASSERT_TRUE(dir.write(kData, file));
    start({"score", "abcdefghijklmno"});
    host.advance(0);
    EXPECT_EQ(host.plugin().recordCount(), 3u);
    EXPECT_EQ(dir.read(kData), file);
}

TEST_F(DataFileTest, ValueSurvivesARestartThroughTheFile) {
    start({"score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score", "GetStats-score"});
    void* user = host.addUser(0x1234, 0x5678);
    ASSERT_TRUE(host.logon(user, 7));
    ASSERT_TRUE(host.changeSpot(user, 7, 1, 42));
    host.advance(0);
    EXPECT_EQ(dir.read(kData), header("IBID", now()) + "score=42\n");

    std::string error;
    ASSERT_TRUE(host.restart(&error)) << error;
    EXPECT_EQ(recordTable(host.plugin(), now()), (std::vector<std::string>{"17484 now 42"}));
    host.setSpotState(7, 2, 0);
    ASSERT_TRUE(host.logon(user, 7));
    EXPECT_EQ(host.spotState(7, 2), 42);
    EXPECT_EQ(host.spotState(7, 1), 0);
}

// ---- Reading ----------------------------------------------------------------------------

struct ReadCase {
    const char* what;
    std::vector<std::string> variables;  // arguments after the plug-in's name
    std::string file;
    std::vector<std::string> records;    // as recordTable gives them
};

const std::string kThirtyZeros(30, '0');

const ReadCase kReadCases[] = {
    {"a header and a value", {"score"}, "[EIB:1136073600]\nscore=12\n", {"1001 1136073600 12"}},
    {"no colon: the present time", {"score"}, "[EIB]\nscore=1\n", {"1001 now 1"}},
    {"no stamp after the colon", {"score"}, "[EIB:]\n", {"1001 now 0"}},
    {"a stamp of zeros", {"score"}, "[EIB:0000000000]\n", {"1001 now 0"}},
    {"the colon after the bracket", {"score"}, "[EIB]:77\n", {"1001 77 0"}},
    {"zero-padded stamp is decimal", {"score"}, "[EIB:0000000010]\n", {"1001 10 0"}},
    {"negative stamp wraps", {"score"}, "[EIB:-5]\n", {"1001 4294967291 0"}},
    {"stamp of 2^31 and more", {"score"}, "[EIB:3000000000]\n[FIB:4294967295]\n",
     {"1001 3000000000 0", "1002 4294967295 0"}},
    {"header anywhere on the line", {"score"}, "x[EIB:12]y\nscore=3\n", {"1001 12 3"}},
    {"brackets the wrong way round", {"score"}, "]EIB:12[\nscore=3\n", {}},
    {"lower-case key name", {"score"}, "[eib:5]\n", {"1001 5 0"}},
    {"lines before the first header", {"score"}, "score=9\n[EIB:5]\n", {"1001 5 0"}},
    {"key 1000 and a bad first letter name no record", {"score"},
     "[IPB:5]\nscore=3\n[XEIB:5]\nscore=4\n[EIB:6]\nscore=5\n", {"1001 6 5"}},
    {"a repeated key", {"score"}, "[EIB:5]\nscore=1\n[FIB:6]\nscore=2\n[EIB:7]\nscore=3\n",
     {"1001 7 3", "1002 6 2"}},
    {"unknown variable ignored, new one 0", {"lives", "score"}, "[EIB:5]\ngold=9\nscore=4\n", {"1001 5 4 0"}},
    {"values cut to 16 bits", {"score"}, "[EIB:5]\nscore=40000\n[FIB:5]\nscore=-40000\n",
     {"1001 5 -25536", "1002 5 25536"}},
    {"atoi leniency", {"lives", "score"}, "[EIB:5]\nscore=abc\nlives= 5x\n[FIB:5]\nscore=99999999999\n",
     {"1001 5 0 5", "1002 5 -1 0"}},
    {"name matched whole and untrimmed", {"score"}, "[EIB:5]\nscore =5\n score=6\nScore=7\n", {"1001 5 0"}},
    {"last line without a line feed", {"score"}, "[EIB:5]\nscore=7", {"1001 5 7"}},
    {"a line of any length", {"score"}, "[EIB:5]\nscore=" + kThirtyZeros + "7\n", {"1001 5 7"}},
    {"a long header line", {"score"}, "[EIB:5]" + std::string(100, ' ') + "\nscore=3\n", {"1001 5 3"}},
    {"carriage returns", {"score"}, "[EIB:5]\r\nscore=6\r\n", {"1001 5 6"}},
    {"an empty file", {"score"}, "", {}},
};

TEST_F(DataFileTest, ReadingRules) {
    for (const ReadCase& c : kReadCases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(dir.write(kData, c.file));
        start(c.variables);
        EXPECT_EQ(recordTable(host.plugin(), now()), c.records);
        host.shutdown();
    }
}

// ---- Saving atomically ---------------------------------------------------------------------

// Runs `body` in a forked child and returns what it returns: "" when all went well, else what
// went wrong. The child ends with _exit, so it removes nothing that the parent's objects own.
std::string inChild(const std::function<std::string()>& body) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "no pipe";
    pid_t child = fork();
    if (child < 0) return "no fork";
    if (child == 0) {
        close(pipeEnds[0]);
        std::string result = body();
        ssize_t written = write(pipeEnds[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(pipeEnds[1]);
    std::string result;
    char buffer[256];
    ssize_t n;
    while ((n = read(pipeEnds[0], buffer, sizeof buffer)) > 0) result.append(buffer, static_cast<size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result += "child ended with status " + std::to_string(status);
    return result;
}

// Collects the failures of checks made in a child.
struct Failures {
    std::string text;
    void check(bool ok, const std::string& what) {
        if (!ok) text += what + "\n";
    }
};

TEST_F(DataFileTest, DiskFullMidSaveLeavesTheOldFileByteForByte) {
    // A table far larger than the file size limit, and a line that a successful save drops.
    std::string file = "; kept by hand\n";
    for (uint32_t key = 1001; key < 4001; ++key) {
        char name[store::kKeyNameBuffer];
        store::encodeKeyName(key, name);
        file += header(name, now()) + "score=1\nlives=2\ngold=3\n";
    }
    ASSERT_TRUE(dir.write(kData, file));

    std::string failures = inChild([&] {
        Failures f;
        const rlimit limit{16384, 16384};
        f.check(setrlimit(RLIMIT_FSIZE, &limit) == 0, "setrlimit");
        signal(SIGXFSZ, SIG_IGN);
        start({"gold", "lives", "score"});
        host.advance(0);
        f.check(host.timerRequests().size() == 2 && host.timerRequests()[1].delay == 300, "re-armed");
        f.check(host.plugin().recordCount() == 3000, "records stay in memory");
        f.check(dir.read(kData) == file, "old file intact after the timer event");
        f.check(!dir.exists(kTemp), "no temporary file after the timer event");
        host.shutdown();
        f.check(dir.read(kData) == file, "old file intact after shutdown");
        return f.text;
    });
    EXPECT_EQ(failures, "");
    EXPECT_EQ(dir.read(kData), file);
    EXPECT_EQ(dataFolder(), (std::vector<std::string>{"morvelt.ini"})) << "the backup is made only right before a replacement";
}

TEST_F(DataFileTest, SavesLeaveNoTemporaryFile) {
    start({"score"});
    host.advance(600);
    host.shutdown();
    EXPECT_EQ(dataFolder(), (std::vector<std::string>{"morvelt.ini"}));
}

// ---- The backup of the file found at start-up ----------------------------------------------

TEST_F(DataFileTest, BackupHoldsTheFileAsFoundAfterTheFirstSave) {
    // The operator mistyped the variable list: the first save drops score's values.
    const std::string found = "; notes\n" + header("EIB", now()) + "score=5\n";
    ASSERT_TRUE(dir.write(kData, found));
    ASSERT_TRUE(dir.write(kBackup, "an older backup\n"));
    start({"scroe"});
    host.advance(0);
    EXPECT_EQ(dir.read(kData), header("EIB", now()) + "scroe=0\n");
    EXPECT_EQ(dir.read(kBackup), found);
    host.advance(300);
    EXPECT_EQ(dir.read(kBackup), found) << "later saves leave the backup alone";
}

TEST_F(DataFileTest, EachStartUpKeepsTheFileItFound) {
    ASSERT_TRUE(dir.write(kData, header("EIB", now()) + "score=5\n"));
    start({"score"});
    host.addRoom(7, std::vector<std::string>{"SetStats-score"});
    store(1002, 1, 6);
    host.setNow(host.now() + 1);
    host.shutdown();
    const std::string left = dir.read(kData);
    ASSERT_EQ(left, header("EIB", now() - 1) + "score=5\n" + header("FIB", now() - 1) + "score=6\n");

    start({"score"});
    host.advance(0);
    EXPECT_EQ(dir.read(kBackup), left);
}

}  // namespace
