// Saves with nothing new to write: a timer event or shutdown leaves the data file alone (same
// inode, same modification and change times) when nothing in the tables changed since the last
// save of the run and the file is still the one that save left. Anything else makes it write: a
// changed value, a new record, a new stamp, an expiry, or the file removed, replaced, touched or
// edited by hand. The first save after each start-up always writes.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"
#include "tests/table_view.h"

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";
constexpr uint32_t kAgeLimit = 432000;
constexpr int16_t kRoom = 7;  // spot 1 "SetStats-score", spot 2 "SetStats-other" (no such variable)

// What a listing of the file at a path (through symbolic links) shows; all zero where none is.
struct Version {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};  // the inode's change time: any write, rename or link
};

Version versionOf(const char* path) {
    Version v;
    struct stat status;
    if (stat(path, &status) != 0) return v;
    v.device = status.st_dev;
    v.inode = status.st_ino;
    v.size = status.st_size;
    v.modified = status.st_mtim;
    v.changed = status.st_ctim;
    return v;
}

bool operator==(const Version& a, const Version& b) {
    return a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.modified.tv_sec == b.modified.tv_sec && a.modified.tv_nsec == b.modified.tv_nsec &&
           a.changed.tv_sec == b.changed.tv_sec && a.changed.tv_nsec == b.changed.tv_nsec;
}

std::ostream& operator<<(std::ostream& out, const Version& v) {
    return out << "inode " << v.inode << ", size " << v.size << ", modified " << v.modified.tv_sec << "."
               << v.modified.tv_nsec << ", changed " << v.changed.tv_sec << "." << v.changed.tv_nsec;
}

// Waits long enough for a file system's clock, which may tick only every few milliseconds, to
// give a later write a later modification time.
void letFileClockTick() {
    struct timespec pause{0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
}

// Writes `text` over the start of the file at `path`, in place, or into a new file there.
bool writeAt(const char* path, const std::string& text, int flags = 0) {
    int fd = open(path, O_WRONLY | flags, 0644);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

class SaveSkipTest : public PluginTest {
  public:
    uint32_t now() const { return static_cast<uint32_t>(host.now()); }

    // Starts with records 1001 (score 5, fresh) and 1002 (score 6, 1000 seconds from expiring),
    // user 1001 in the room, and runs the first timer event. The clock stands still after it:
    // each later event is a call of the timer entry point at the same time.
    void startAndSave(const char* data = kData) {
        ASSERT_TRUE(dir.write(data, header("EIB", now() - 100) + "score=5\n" +
                                        header("FIB", now() - kAgeLimit + 1000) + "score=6\n"));
        start({"score"});
        host.addRoom(kRoom, {"SetStats-score", "SetStats-other"});
        user = host.addUser(1001, 0);
        ASSERT_TRUE(host.logon(user, kRoom));
        host.advance(0);
        ASSERT_EQ(dir.read(data), tableview::render(tableview::copyOf(host)));
    }

    // Runs a timer event and checks that it wrote the tables' text over what `path` held.
    void expectEventWrites(const char* path = kData) {
        Version before = versionOf(path);
        host.timerEvent();
        EXPECT_FALSE(versionOf(path) == before) << "not written";
        EXPECT_EQ(dir.read(path), tableview::render(tableview::copyOf(host)));
    }

    // Runs a timer event and checks that it left `path` as it was.
    void expectEventSkips(const char* path = kData) {
        Version before = versionOf(path);
        host.timerEvent();
        EXPECT_EQ(versionOf(path), before) << "written with nothing new";
        EXPECT_EQ(dir.read(path), tableview::render(tableview::copyOf(host)));
    }

    void* user = nullptr;
};

TEST_F(SaveSkipTest, EventsAndShutdownWithNothingNewLeaveTheFileAlone) {
    startAndSave();
    const std::string backup = dir.read(kBackup);
    Version saved = versionOf(kData);
    ASSERT_TRUE(host.enterRoom(user, kRoom));  // reads the record, changes nothing
    expectEventSkips();
    host.advance(600);  // two timer events, nothing expiring
    EXPECT_EQ(versionOf(kData), saved);
    host.shutdown();
    EXPECT_EQ(versionOf(kData), saved) << "shutdown wrote with nothing new";
    EXPECT_EQ(dir.read(kBackup), backup);
}

TEST_F(SaveSkipTest, SameValueStoredInTheSecondOfItsStampIsNothingNew) {
    startAndSave();
    ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 9));
    expectEventWrites();
    ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 9));
    expectEventSkips();
}

// What happens between two timer events with nothing new; each makes the second event write.
struct Change {
    const char* name;
    std::function<void(SaveSkipTest&, hostsim::Host&, void* user)> make;
};

void PrintTo(const Change& change, std::ostream* out) { *out << change.name; }

const Change kChanges[] = {
    {"ValueChanged", [](SaveSkipTest&, hostsim::Host& host, void* user) {
         ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 9));
     }},
    {"ValueChangedInTheSecondOfItsStamp", [](SaveSkipTest& t, hostsim::Host& host, void* user) {
         ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 9));
         t.expectEventWrites();
         ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 10));  // the stamp stays as saved
     }},
    {"NewRecord", [](SaveSkipTest&, hostsim::Host& host, void*) {
         void* other = host.addUser(1003, 0);
         ASSERT_TRUE(host.logon(other, kRoom));
         ASSERT_TRUE(host.changeSpot(other, kRoom, 2, 4));  // no such variable: the record alone
     }},
    {"NewStampOnly", [](SaveSkipTest&, hostsim::Host& host, void* user) {
         ASSERT_TRUE(host.changeSpot(user, kRoom, 2, 1));  // no such variable: stamps, stores nothing
     }},
    {"RecordExpired", [](SaveSkipTest&, hostsim::Host& host, void*) {
         host.setNow(host.now() + 1001);  // 1002 is too old at the next event
     }},
    {"FileRemoved", [](SaveSkipTest&, hostsim::Host&, void*) { ASSERT_EQ(unlink(kData), 0); }},
    {"FileReplacedByAnother", [](SaveSkipTest&, hostsim::Host&, void*) {
         ASSERT_TRUE(writeAt("psdata/morvelt.ini.new", header("GIB", 5) + "score=1\n", O_CREAT | O_EXCL));
         ASSERT_EQ(rename("psdata/morvelt.ini.new", kData), 0);
     }},
    {"FileTouched", [](SaveSkipTest&, hostsim::Host&, void*) {
         struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
         ASSERT_EQ(utimensat(AT_FDCWD, kData, times, 0), 0);
     }},
    {"FileEditedInPlaceToTheSameSize", [](SaveSkipTest&, hostsim::Host&, void*) {
         letFileClockTick();
         ASSERT_TRUE(writeAt(kData, "[GIB"));
     }},
};

class SaveSkipChangeTest : public SaveSkipTest, public ::testing::WithParamInterface<Change> {};

TEST_P(SaveSkipChangeTest, NextEventWritesOnceThenSkipsAgain) {
    startAndSave();
    expectEventSkips();
    GetParam().make(*this, host, user);
    if (HasFatalFailure()) return;
    expectEventWrites();
    expectEventSkips();
    Version saved = versionOf(kData);
    host.shutdown();
    EXPECT_EQ(versionOf(kData), saved) << "shutdown wrote with nothing new";
}

INSTANTIATE_TEST_SUITE_P(Changes, SaveSkipChangeTest, ::testing::ValuesIn(kChanges),
                         [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

TEST_F(SaveSkipTest, EmptyFileIsWrittenOnceThenLeftAlone) {
    start({"score"});
    host.advance(0);
    ASSERT_TRUE(dir.exists(kData));
    EXPECT_EQ(dir.read(kData), "");
    expectEventSkips();
}

// A start-up whose load changes nothing (an empty file) still writes at its first save, which
// also keeps the file found as the backup.
TEST_F(SaveSkipTest, FirstSaveAfterEachStartUpWritesAndKeepsTheBackup) {
    start({"score"});
    host.advance(0);
    host.shutdown();  // with nothing new
    ASSERT_TRUE(dir.write(kBackup, "older\n"));
    start({"score"});
    expectEventWrites();
    EXPECT_EQ(dir.read(kBackup), "");
    expectEventSkips();
}

// The data file is a symbolic link to storage elsewhere: the file it leads to is what is
// compared, so a change of that file, or of where the link leads, makes the next event write.
TEST_F(SaveSkipTest, FileBehindASymbolicLinkIsComparedThroughTheLink) {
    ASSERT_EQ(mkdir("vol", 0755), 0);
    ASSERT_EQ(symlink("../vol/stats.ini", kData), 0);
    startAndSave("vol/stats.ini");
    expectEventSkips("vol/stats.ini");

    ASSERT_TRUE(dir.write("vol/stats.ini.new", "edited\n"));
    ASSERT_EQ(rename("vol/stats.ini.new", "vol/stats.ini"), 0);
    expectEventWrites("vol/stats.ini");
    expectEventSkips("vol/stats.ini");

    ASSERT_TRUE(dir.write("vol/other.ini", ""));
    ASSERT_EQ(unlink(kData), 0);
    ASSERT_EQ(symlink("../vol/other.ini", kData), 0);
    expectEventWrites("vol/other.ini");
    expectEventSkips("vol/other.ini");
    struct stat link;
    ASSERT_EQ(lstat(kData, &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode)) << "the link was replaced";
}

// A save that fails leaves the change to be saved: the next event writes once it can.
TEST_F(SaveSkipTest, ChangeStaysToBeSavedAfterAFailedSave) {
    startAndSave();
    ASSERT_TRUE(host.changeSpot(user, kRoom, 1, 9));
    ASSERT_EQ(rename("psdata", "away"), 0);
    host.advance(300);
    ASSERT_EQ(rename("away", "psdata"), 0);
    EXPECT_NE(dir.read(kData), tableview::render(tableview::copyOf(host)));
    expectEventWrites();
    expectEventSkips();
}

}  // namespace
