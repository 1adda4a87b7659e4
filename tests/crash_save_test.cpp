// A crash during a save.
//
// Killed at a random moment: a child process rewrites a large data file over and over, each
// time with new values, and is killed with SIGKILL at a random moment. After every kill the file
// must be one of the files the child meant to write, whole: never a mix, never cut short.
// MORVELT_CRASH_KILLS sets the number of kills, MORVELT_CRASH_SEED replays the moments.
//
// Stopped at every step: on each way a save goes (by rename, and in place for a second hard
// link, a folder the host cannot write, an owner it cannot give, no room beside the file), a
// child makes the first save of a run and is killed right before its n-th call that changes a
// file (write, fsync, link, rename, unlink), for every n, and in the middle of every write. The
// next start-up must then find exactly the old or the new text, and its first save must keep
// that text, whole, as the backup.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/plugin_fixture.h"
#include "tests/table_view.h"

// ---- The saving process's steps --------------------------------------------------------------
// The executable exports these, so the plug-in's calls reach them; unless armed they do what the
// kernel does. Armed, they count the calls that change files and kill the process right before
// the one to stop at (or half way through it, for a write); they also charge what writes add
// to files outside `roomElsewhere` against `room`, a disk with little room beside the data file.
namespace {

struct Steps {
    bool armed = false;
    long stopAt = 0;           // the 1-based call to stop at; 0: none
    bool halfway = false;      // a write stopped at writes half its bytes first
    long calls = 0;            // calls counted since armed
    long long room = -1;       // bytes writes may still add to files; -1: no limit
    std::string roomElsewhere; // files under this folder stand on another disk, with room
    std::vector<std::string>* trace = nullptr;  // where given: each call, as "write PATH"
};
Steps steps;

// The path of the open file `fd`, or "".
std::string pathOf(int fd) {
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

bool isRegular(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

// Counts one call of the armed process; true where it is the one to stop at.
bool count(const char* what, const std::string& path) {
    if (!steps.armed) return false;
    ++steps.calls;
    if (steps.trace != nullptr) steps.trace->push_back(std::string(what) + " " + path);
    return steps.calls == steps.stopAt;
}

[[noreturn]] void stopHere() {
    syscall(SYS_kill, syscall(SYS_getpid), SIGKILL);
    _exit(9);
}

// The bytes a write of `size` bytes adds beyond the end of the regular file `fd`.
long long growthOf(int fd, size_t size) {
    struct stat status;
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &status) != 0 || at < 0) return 0;
    long long end = static_cast<long long>(at) + static_cast<long long>(size);
    long long from = at > status.st_size ? at : status.st_size;
    return end > from ? end - from : 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    if (steps.armed && isRegular(fd)) {
        std::string path = pathOf(fd);
        if (count("write", path)) {
            if (steps.halfway) syscall(SYS_write, fd, data, size / 2);
            stopHere();
        }
        bool elsewhere = !steps.roomElsewhere.empty() && path.rfind(steps.roomElsewhere, 0) == 0;
        if (steps.room >= 0 && !elsewhere) {
            long long growth = growthOf(fd, size);
            if (growth > steps.room) {
                errno = ENOSPC;
                return -1;
            }
            steps.room -= growth;
        }
    }
    return syscall(SYS_write, fd, data, size);
}

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    if (steps.armed && count("fsync", pathOf(fd))) stopHere();
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" __attribute__((visibility("default"))) int link(const char* from, const char* to) {
    if (steps.armed && count("link", std::string(from) + " " + to)) stopHere();
    return static_cast<int>(syscall(SYS_link, from, to));
}

extern "C" __attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    if (steps.armed && count("rename", std::string(from) + " " + to)) stopHere();
    return static_cast<int>(syscall(SYS_rename, from, to));
}

extern "C" __attribute__((visibility("default"))) int unlink(const char* path) {
    struct stat status;  // removing nothing changes nothing: not a step
    if (steps.armed && lstat(path, &status) == 0 && count("unlink", path)) stopHere();
    return static_cast<int>(syscall(SYS_unlink, path));
}

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kTemp[] = "psdata/morvelt.ini.tmp";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";
constexpr int kRecords = 20000;
constexpr int16_t kRoom = 7;

uint64_t fromEnvironment(const char* name, uint64_t fallback) {
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? strtoull(text, nullptr, 10) : fallback;
}

using CrashSaveTest = PluginTest;

// The file the child writes in round `round`, from `first`, the file of round 0: every record's
// score is the round number.
std::string roundFile(const std::string& first, int round) {
    const std::string zero = "\nscore=0\n";
    const std::string value = "\nscore=" + std::to_string(round) + "\n";
    std::string text;
    size_t from = 0;
    for (size_t at; (at = first.find(zero, from)) != std::string::npos; from = at + zero.size())
        text.append(first, from, at - from).append(value);
    return text.append(first, from, std::string::npos);
}

// The round whose file `text` is, or -1.
int roundOf(const std::string& text, const std::string& first) {
    size_t at = text.find("\nscore=");
    if (at == std::string::npos) return -1;
    int round = atoi(text.c_str() + at + 7);
    return text == roundFile(first, round) ? round : -1;
}

// Gives every record the score `round`: the first record's through a change by its user, in the
// room of one "SetStats-score" spot (so the plug-in knows there is something to save), the
// others straight in the table.
void setRound(hostsim::Host& host, void* firstUser, int round) {
    StatRecord* records = host.plugin().records();
    for (uint32_t i = 1; i < host.plugin().recordCount(); ++i) records[i].values[0] = static_cast<int16_t>(round);
    host.changeSpot(firstUser, kRoom, 1, static_cast<int16_t>(round));
}

// Saves with new values until killed. Never returns.
[[noreturn]] void saveForever(hostsim::Host& host, void* firstUser, int ready) {
    char byte = 1;
    if (write(ready, &byte, 1) != 1) _exit(2);
    for (int round = 1;; round = round % 30000 + 1) {
        setRound(host, firstUser, round);
        host.timerEvent();
    }
}

TEST_F(CrashSaveTest, FileIsWholeAfterAKillAtAnyMoment) {
    uint64_t kills = fromEnvironment("MORVELT_CRASH_KILLS", MORVELT_CRASH_DEFAULT_KILLS);
    uint64_t seed = fromEnvironment("MORVELT_CRASH_SEED", std::random_device{}());
    printf("crash test seed: %llu (MORVELT_CRASH_SEED replays it)\n", static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);

    std::string text;
    for (int i = 0; i < kRecords; ++i)
        text += "[" + tableview::keyName(5000 + i) + ":" + std::to_string(host.now() - i) + "]\nscore=0\nlives=" +
                std::to_string(i % 100) + "\n";
    ASSERT_TRUE(dir.write(kData, text));
    start({"lives", "score"});
    host.advance(0);
    ASSERT_EQ(host.plugin().recordCount(), static_cast<uint32_t>(kRecords));
    const std::string first = tableview::render(tableview::copyOf(host));
    ASSERT_TRUE(dir.read(kData) == first);
    host.addRoom(kRoom, {"SetStats-score"});
    void* firstUser = host.addUser(5000, 0);  // the user of the first record
    ASSERT_TRUE(host.logon(firstUser, kRoom));

    setRound(host, firstUser, 1);  // something to save: the timed save rewrites the file
    auto began = std::chrono::steady_clock::now();
    host.timerEvent();
    auto saveTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - began);
    setRound(host, firstUser, 0);
    host.timerEvent();
    ASSERT_TRUE(dir.read(kData) == first);
    std::uniform_int_distribution<int64_t> moment(0, 6 * saveTime.count());

    int newer = 0;  // kills after which the file held a later round than before
    int previous = 0;
    for (uint64_t k = 0; k < kills; ++k) {
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeEnds[0]);
            saveForever(host, firstUser, pipeEnds[1]);
        }
        close(pipeEnds[1]);
        char byte;
        ASSERT_EQ(read(pipeEnds[0], &byte, 1), 1);
        close(pipeEnds[0]);
        int64_t wait = moment(random);
        struct timespec pause{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
        nanosleep(&pause, nullptr);
        kill(child, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saving child ended by itself, status " << status;

        int round = roundOf(dir.read(kData), first);
        ASSERT_GE(round, 0) << "kill " << k << " after " << wait << " us left a file that is no whole round (seed "
                            << seed << ")";
        if (round != previous) ++newer;
        previous = round;
    }
    printf("kills survived: %llu, %d of them after a newer file was in place; one save takes %lld us\n",
           static_cast<unsigned long long>(kills), newer, static_cast<long long>(saveTime.count()));
    EXPECT_GT(newer, 0) << "no kill came after a complete save: the moments are too early";

    EXPECT_TRUE(dir.read(kBackup) == text) << "the backup is not the file found at start-up";
    // The next save after the crashes, with something to write (as a start-up's first save
    // always has), works and leaves nothing behind.
    setRound(host, firstUser, 1);
    host.timerEvent();
    EXPECT_TRUE(dir.read(kData) == roundFile(first, 1));
    EXPECT_FALSE(dir.exists(kTemp));
}

}  // namespace

// ---- Stopped at every step -------------------------------------------------------------------
namespace {

constexpr uid_t kNobody = 65534;
constexpr int kStepRecords = 3000;  // past one 64 KiB chunk of the writer and of the journal's copy

// One way a save goes, set up from the file `old` (as root, in the working folder).
struct StepSetup {
    const char* what;
    bool inPlace;     // the file is rewritten where it stands
    bool asNobody;    // the host runs as the unprivileged user
    bool grows;       // a new user stores (the text grows), else a known value gets shorter
    bool noRoom;      // no room on the data file's disk; $TMPDIR, on another, has room
    std::function<void(const std::string& old)> prepare;
    const char* otherName = nullptr;  // a second hard link, which must read as the file
    bool backupPossible = true;       // the host can make a backup beside the file
};

void writeFile(const char* path, const std::string& text, mode_t mode, uid_t owner, gid_t group) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(fchown(fd, owner, group), 0);
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
}

std::vector<StepSetup> stepSetups() {
    return {
        {"by rename", false, false, true, false,
         [](const std::string& old) { writeFile(kData, old, 0640, 0, 0); }},
        {"in place: a second hard link", true, false, true, false,
         [](const std::string& old) {
             writeFile(kData, old, 0640, 0, 0);
             ASSERT_EQ(::link(kData, "vol/other.ini"), 0);
         },
         "vol/other.ini"},
        {"in place: a folder the host cannot write", true, true, true, false,
         [](const std::string& old) { writeFile(kData, old, 0644, kNobody, kNobody); }, nullptr, false},
        {"in place: an owner the host cannot give", true, true, true, false,
         [](const std::string& old) {
             ASSERT_EQ(chmod("psdata", 0777), 0);
             writeFile(kData, old, 0646, 0, 0);
         }},
        {"in place: no room beside the file", true, false, false, true,
         [](const std::string& old) { writeFile(kData, old, 0644, 0, 0); }},
    };
}

// Removes the folder `path` with everything in it.
void removeTree(const std::string& path) {
    if (DIR* folder = opendir(path.c_str())) {
        while (struct dirent* entry = readdir(folder)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            std::string inner = path + "/" + name;
            struct stat status;
            if (lstat(inner.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) removeTree(inner);
            else ::unlink(inner.c_str());
        }
        closedir(folder);
    }
    rmdir(path.c_str());
}

// The journals left in the data folder and in the private folders under `tmp`.
std::vector<std::string> journalsIn(const std::string& tmp) {
    std::vector<std::string> found;
    std::function<void(const std::string&, int)> scan = [&](const std::string& folder, int depth) {
        DIR* d = opendir(folder.c_str());
        if (d == nullptr) return;
        while (struct dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".journal") == 0) found.push_back(folder + "/" + name);
            else if (depth > 0) scan(folder + "/" + name, depth - 1);
        }
        closedir(d);
    };
    scan("psdata", 0);
    scan(tmp, 1);
    return found;
}

// Strings through a pipe: each as its length, a line feed, and its bytes.
void send(int fd, const std::string& text) {
    std::string framed = std::to_string(text.size()) + "\n" + text;
    if (::write(fd, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) _exit(3);
}

// Runs `body` in a child process, as the unprivileged user where `asNobody`; returns what it
// sent and, in `status`, how it ended.
std::vector<std::string> inChild(bool asNobody, const std::function<void(int)>& body, int* status) {
    int ends[2];
    if (pipe(ends) != 0) return {};
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        if (asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
        body(ends[1]);
        _exit(0);
    }
    close(ends[1]);
    std::string all;
    char buffer[65536];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    waitpid(child, status, 0);
    std::vector<std::string> got;
    for (size_t at = 0; at < all.size();) {
        size_t lf = all.find('\n', at);
        if (lf == std::string::npos) break;
        size_t size = std::stoul(all.substr(at, lf - at));
        got.push_back(all.substr(lf + 1, size));
        at = lf + 1 + size;
    }
    return got;
}

class StepStopTest : public PluginTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the set-ups need root: owners and an unprivileged user";
        PluginTest::SetUp();
        here = dir.path();
        tmp = here + "/tmp";
        ASSERT_EQ(chmod(here.c_str(), 0755), 0);
        ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);
        for (int i = 0; i < kStepRecords; ++i)
            old += "[" + tableview::keyName(5000 + i) + ":" + std::to_string(host.now() - i) + "]\nscore=" +
                   std::to_string(i % 100) + "\n";
    }
    void TearDown() override { unsetenv("TMPDIR"); }

    // Back to the set-up's first state: the old file, no backup, nothing else.
    void reset(const StepSetup& setup) {
        for (const char* folder : {"psdata", "vol", "tmp"}) removeTree(folder);
        ASSERT_EQ(mkdir("psdata", 0755), 0);
        ASSERT_EQ(mkdir("vol", 0755), 0);
        ASSERT_EQ(mkdir("tmp", 0755), 0);
        ASSERT_EQ(chmod("tmp", 01777), 0);
        setup.prepare(old);
    }

    // Starts the plug-in and makes the set-up's change, in a child.
    void startAndChange(const StepSetup& setup) {
        start({"score"});
        host.addRoom(7, std::vector<std::string>{"SetStats-score"});
        void* user = host.addUser(setup.grows ? 1002 : 5010, 0);  // 5010 holds 10: 6 is shorter, to be cut
        host.logon(user, 7);
        host.changeSpot(user, 7, 1, 6);
    }

    // In a child, makes the first save of a run, stopped at call `stopAt` (0: never); sends the
    // text it meant to write and, unstopped, every call it made.
    std::vector<std::string> save(const StepSetup& setup, long stopAt, bool halfway, int* status) {
        return inChild(setup.asNobody, [&](int out) {
            startAndChange(setup);
            std::vector<std::string> trace;
            steps.stopAt = stopAt;
            steps.halfway = halfway;
            steps.trace = &trace;
            steps.room = setup.noRoom ? 0 : -1;
            steps.roomElsewhere = tmp + "/";
            steps.armed = true;
            host.advance(0);
            steps.armed = false;
            send(out, tableview::render(tableview::copyOf(host)));
            for (const std::string& call : trace) send(out, call);
        }, status);
    }

    // In a child, starts up after a stop and makes the run's first save; sends the file found,
    // the journals left after start-up, and the file and the backup after the save.
    std::vector<std::string> restartAndSave(const StepSetup& setup) {
        int status = 0;
        std::vector<std::string> got = inChild(setup.asNobody, [&](int out) {
            start({"score"});
            send(out, dir.read(kData));
            std::string left;
            for (const std::string& j : journalsIn(tmp)) left += j + " ";
            send(out, left);
            struct stat before, after;
            bool statted = lstat(kData, &before) == 0;
            host.advance(0);
            send(out, dir.read(kData));
            send(out, dir.read(kBackup));
            send(out, tableview::render(tableview::copyOf(host)));
            statted = statted && lstat(kData, &after) == 0;
            send(out, statted && before.st_ino != after.st_ino && after.st_nlink == 1 ? "renamed" : "kept");
        }, &status);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the start-up ended with status " << status;
        return got;
    }

    std::string here, tmp, old;
};

TEST_F(StepStopTest, StartUpAfterAStopAtAnyStepFindsTheOldOrTheNewTextAndKeepsItWhole) {
    for (const StepSetup& setup : stepSetups()) {
        SCOPED_TRACE(setup.what);
        reset(setup);
        if (HasFatalFailure()) return;
        int status = 0;
        std::vector<std::string> full = save(setup, 0, false, &status);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && !full.empty()) << "the unstopped save";
        const std::string wanted = full[0];
        const std::vector<std::string> calls(full.begin() + 1, full.end());
        ASSERT_EQ(dir.read(kData), wanted) << "the unstopped save did not write";
        ASSERT_NE(wanted, old);
        std::string steps;
        for (const std::string& call : calls) steps += "\n  " + call;
        printf("%s: %zu calls%s\n", setup.what, calls.size(), steps.c_str());
        // The steps that matter are among them.
        auto has = [&calls](const std::string& what, const std::string& ending) {
            for (const std::string& c : calls)
                if (c.rfind(what + " ", 0) == 0 && c.size() >= ending.size() &&
                    c.compare(c.size() - ending.size(), ending.size(), ending) == 0)
                    return true;
            return false;
        };
        if (setup.inPlace) {
            EXPECT_TRUE(has("write", ".journal") && has("fsync", ".journal") && has("unlink", ".journal"))
                << "no journal";
            EXPECT_TRUE(has("write", "/psdata/morvelt.ini")) << "no rewrite";
        } else {
            EXPECT_TRUE(has("link", "psdata/morvelt.ini.bak.tmp") && has("rename", "psdata/morvelt.ini.bak"))
                << "no backup by link";
        }

        struct stat first;
        const bool failedBefore = HasFailure();
        for (size_t n = 1; n <= calls.size(); ++n) {
            bool isWrite = calls[n - 1].rfind("write ", 0) == 0;
            for (bool halfway : {false, true}) {
                if (halfway && !isWrite) continue;
                SCOPED_TRACE("stopped at call " + std::to_string(n) + (halfway ? ", half way, " : ", ") + calls[n - 1]);
                reset(setup);
                ASSERT_EQ(lstat(kData, &first), 0);
                save(setup, static_cast<long>(n), halfway, &status);
                ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not stopped, status " << status;
                std::string backup = dir.read(kBackup);
                EXPECT_TRUE(!dir.exists(kBackup) || backup == old) << "the backup the stopped save made is not whole";
                std::vector<std::string> seen = restartAndSave(setup);
                ASSERT_EQ(seen.size(), 6u);
                EXPECT_TRUE(seen[0] == old || seen[0] == wanted) << "start-up found neither text";
                EXPECT_EQ(seen[1], "") << "journals left after start-up";
                EXPECT_TRUE(seen[2] == seen[0] && seen[4] == seen[0]) << "the first save changed the text";
                if (setup.backupPossible) EXPECT_TRUE(seen[3] == seen[0]) << "the backup is not the file start-up found";
                else EXPECT_FALSE(dir.exists(kBackup)) << "a backup where none can be made";
                struct stat after;
                ASSERT_EQ(lstat(kData, &after), 0);
                if (setup.inPlace && !setup.noRoom) EXPECT_EQ(after.st_ino, first.st_ino) << "not the same file";
                // A stray link left at the backup's temporary name is no second name of the file.
                if (!setup.inPlace) EXPECT_EQ(seen[5], "renamed") << "the save after the stop was not made by rename";
                if (setup.otherName != nullptr) EXPECT_TRUE(dir.read(setup.otherName) == seen[0]) << setup.otherName;
                if (HasFailure() && !failedBefore) return;  // the first stop that fails tells enough
            }
        }
    }
}

}  // namespace
