// Save failures: the data file's folder gone, the temporary file impossible to create, writes
// failing part way (an I/O error, a full disk where the new text is longer than the file, the
// file size limit), flushing or renaming failing, the backup impossible to make. Whatever fails,
// the previous file stays byte for byte, no temporary file is left, the records stay in memory,
// the timer stays armed, the log says so once, and the next timer event after the fault is gone
// writes the file and says saving works again. A backup that cannot be made is logged and does
// not hold the save back.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>

#include "tests/plugin_fixture.h"
#include "tests/table_view.h"

// ---- Failing system calls ---------------------------------------------------------------------
// The executable exports these, so the plug-in's calls reach them; unless a fault is armed they
// do what the kernel does.
namespace {

struct SystemFaults {
    long long writeBudget = -1;   // bytes that may still be written; -1: no limit
    long long growthBudget = -1;  // bytes that writes may still add to files; -1: no limit
    bool fsyncFails = false;
    bool renameFails = false;
    bool linkFails = false;
};
SystemFaults faults;

// The bytes a write of `size` bytes adds beyond the end of the regular file `fd`.
long long growthOf(int fd, size_t size) {
    struct stat status;
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || at < 0) return 0;
    long long end = static_cast<long long>(at) + static_cast<long long>(size);
    long long from = at > status.st_size ? at : status.st_size;
    return end > from ? end - from : 0;
}

// Cuts a write of `size` bytes to what `budget` allows, charging it `cost` (the bytes that
// count). False, with errno `error`, when nothing is allowed.
bool charge(long long& budget, long long cost, size_t& size, int error) {
    if (budget < 0) return true;
    if (cost > budget) {
        long long cut = cost - budget;
        if (static_cast<long long>(size) <= cut) {
            errno = error;
            return false;
        }
        size -= static_cast<size_t>(cut);
        cost = budget;
    }
    budget -= cost;
    return true;
}

}  // namespace

// An I/O error once writeBudget bytes are written; a full disk once writes have added
// growthBudget bytes to files (a write within a file's old size needs no room).
extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    if (!charge(faults.writeBudget, static_cast<long long>(size), size, EIO)) return -1;
    if (!charge(faults.growthBudget, growthOf(fd, size), size, ENOSPC)) return -1;
    return syscall(SYS_write, fd, data, size);
}

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    if (faults.fsyncFails) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" __attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    if (faults.renameFails) {
        errno = EIO;
        return -1;
    }
    return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" __attribute__((visibility("default"))) int link(const char* from, const char* to) {
    if (faults.linkFails) {
        errno = EPERM;
        return -1;
    }
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kTemp[] = "psdata/morvelt.ini.tmp";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";
constexpr char kBackupTemp[] = "psdata/morvelt.ini.bak.tmp";
constexpr int kRecords = 3000;  // about 120 KiB of file: several write calls

class SaveFaultTest : public PluginTest {
  protected:
    // Starts with a file of kRecords users; with `firstSaveDone`, lets the first timer event
    // rewrite it (keeping the backup), then a new user stores, so that the next save is longer.
    void startWithData(bool firstSaveDone) {
        std::string text;
        for (int i = 0; i < kRecords; ++i)
            text += "[" + tableview::keyName(5000 + i) + ":" + std::to_string(host.now() - i) + "]\nscore=" +
                    std::to_string(i) + "\nlives=-1\n";
        ASSERT_TRUE(dir.write(kData, text));
        original = text;
        backup = text;
        failureLogged = false;
        runLog = host.log().size();
        start({"lives", "score"});
        if (firstSaveDone) host.advance(0);
        host.addRoom(1, {"SetStats-score"});
        newUserStores();
    }

    // A new user stores a value: the next save is longer than the file.
    void newUserStores() {
        host.changeSpot(host.addUser(0xABCD0000 + ++newUsers, 0x1234, 1), 1, 1, static_cast<int16_t>(newUsers));
    }

    // Runs the due timer event with the fault in place and checks that nothing changed and that
    // the log says so, once.
    void failingTimer(const std::string& dataPath, bool tempMayExist) {
        std::string previous = dir.read(dataPath);
        std::string table = tableview::render(tableview::copyOf(host));
        size_t requests = host.timerRequests().size();
        size_t logged = host.log().size();
        host.advance(host.timerRequests().back().due - host.now());
        EXPECT_EQ(host.log().back().rfind("[Morvelt] psdata/morvelt.ini cannot be saved: ", 0), 0u) << host.log().back();
        EXPECT_LE(host.log().size(), logged + 2) << "more than the failure and the backup logged";
        failureLogged = true;
        EXPECT_TRUE(dir.read(dataPath) == previous) << "the previous file changed";
        if (!tempMayExist) EXPECT_FALSE(dir.exists(kTemp)) << "stray temporary file";
        EXPECT_FALSE(dir.exists(kBackupTemp)) << "stray temporary backup";
        EXPECT_TRUE(tableview::render(tableview::copyOf(host)) == table) << "the records changed";
        ASSERT_EQ(host.timerRequests().size(), requests + 1);
        EXPECT_FALSE(host.timerRequests().back().fired) << "the timer is not armed";
    }

    // Runs the next timer event without faults and checks that it wrote the file, and that the
    // log says saving works again where it had said it failed.
    void succeedingTimer() {
        size_t logged = host.log().size();
        host.advance(host.timerRequests().back().due - host.now());
        EXPECT_TRUE(dir.read(kData) == tableview::render(tableview::copyOf(host))) << "the file is not the table";
        EXPECT_TRUE(dir.read(kBackup) == backup) << "the backup is not what it should be";
        if (failureLogged) {
            ASSERT_EQ(host.log().size(), logged + 1);
            EXPECT_EQ(host.log().back(), "[Morvelt] psdata/morvelt.ini is saved again.");
        } else {
            EXPECT_EQ(host.log().size(), logged);
        }
        failureLogged = false;
        EXPECT_FALSE(dir.exists(kTemp));
        EXPECT_FALSE(dir.exists(kBackupTemp));
    }

    void TearDown() override { faults = SystemFaults{}; }

    std::string original;        // the file start-up found
    std::string backup;          // what the backup must hold ("" for none)
    bool failureLogged = false;  // a failed save was logged and none has worked since
    int newUsers = 0;
    size_t runLog = 0;           // the log's first line of this run
};

struct Fault {
    std::string name;
    std::function<void(hostsim::WorkDir&)> inject;
    std::function<void(hostsim::WorkDir&)> clear;
    bool tempIsOurs = false;  // the fault is a folder in the temporary file's place
};

std::string at(const hostsim::WorkDir& dir, const char* relative) { return dir.path() + "/" + relative; }

std::vector<Fault> faultsAt(std::initializer_list<long long> writeBudgets) {
    std::vector<Fault> list{
        {"cannot create the temporary file",
         [](hostsim::WorkDir& d) { ASSERT_EQ(mkdir(at(d, kTemp).c_str(), 0755), 0); },
         [](hostsim::WorkDir& d) { ASSERT_EQ(rmdir(at(d, kTemp).c_str()), 0); }, true},
        {"flush fails", [](hostsim::WorkDir&) { faults.fsyncFails = true; },
         [](hostsim::WorkDir&) { faults.fsyncFails = false; }},
        {"rename fails", [](hostsim::WorkDir&) { faults.renameFails = true; },
         [](hostsim::WorkDir&) { faults.renameFails = false; }},
    };
    for (long long budget : writeBudgets) {
        list.push_back({"I/O error after " + std::to_string(budget) + " bytes",
                        [budget](hostsim::WorkDir&) { faults.writeBudget = budget; },
                        [](hostsim::WorkDir&) { faults.writeBudget = -1; }});
        list.push_back({"disk full after " + std::to_string(budget) + " bytes",
                        [budget](hostsim::WorkDir&) { faults.growthBudget = budget; },
                        [](hostsim::WorkDir&) { faults.growthBudget = -1; }});
    }
    return list;
}

const std::initializer_list<long long> kBudgets = {0, 1, 4095, 65535, 65536, 65537, 100000};

TEST_F(SaveFaultTest, FailedSaveKeepsTheFileAndTheNextTimerRetries) {
    startWithData(true);
    for (const Fault& fault : faultsAt(kBudgets)) {
        SCOPED_TRACE(fault.name);
        fault.inject(dir);
        failingTimer(kData, fault.tempIsOurs);
        fault.clear(dir);
        succeedingTimer();
        newUserStores();
    }
}

TEST_F(SaveFaultTest, FailedFirstSaveKeepsTheFileAndMakesNoBackup) {
    for (const Fault& fault : faultsAt({0, 65536})) {
        SCOPED_TRACE(fault.name);
        if (host.running()) host.shutdown();  // each fault meets a fresh start-up's first save
        ::unlink(at(dir, kBackup).c_str());
        startWithData(false);
        fault.inject(dir);
        failingTimer(kData, fault.tempIsOurs);
        EXPECT_TRUE(dir.read(kData) == original) << "the file changed";
        // The backup is made right before the file is replaced: a save that failed before that
        // point makes it at the next save. One that could not be made is logged, and not tried
        // again.
        if (dir.exists(kBackup)) EXPECT_TRUE(dir.read(kBackup) == original) << "the backup is not the file";
        bool logged = std::find_if(host.log().begin() + static_cast<long>(runLog), host.log().end(), [](const std::string& line) {
                          return line.rfind("[Morvelt] psdata/morvelt.ini.bak cannot be made: ", 0) == 0;
                      }) != host.log().end();
        if (logged) EXPECT_FALSE(dir.exists(kBackup)) << "a backup made and logged as failed";
        backup = logged ? "" : original;
        fault.clear(dir);
        succeedingTimer();
    }
}

TEST_F(SaveFaultTest, BackupThatCannotBeMadeIsLoggedAndDoesNotHoldTheSaveBack) {
    startWithData(false);
    ASSERT_EQ(mkdir(at(dir, kBackupTemp).c_str(), 0755), 0);
    host.advance(0);
    EXPECT_TRUE(dir.read(kData) == tableview::render(tableview::copyOf(host))) << "the file is not the table";
    EXPECT_FALSE(dir.exists(kBackup));
    ASSERT_EQ(host.log().size(), 2u);
    EXPECT_EQ(host.log()[1], "[Morvelt] psdata/morvelt.ini.bak cannot be made: File exists. Saving goes on without a "
                             "backup of the file found at start-up.");
    // Not tried again: the file it would keep is no longer the one found.
    ASSERT_EQ(rmdir(at(dir, kBackupTemp).c_str()), 0);
    backup = "";
    newUserStores();
    succeedingTimer();
}

TEST_F(SaveFaultTest, BackupIsCopiedWhereItCannotBeLinked) {
    startWithData(false);
    faults.linkFails = true;
    succeedingTimer();
}

TEST_F(SaveFaultTest, MissingFolderIsNotMadeAndTheNextTimerWritesOnceItIsBack) {
    startWithData(true);
    ASSERT_EQ(::rename(at(dir, "psdata").c_str(), at(dir, "away").c_str()), 0);
    failingTimer("away/morvelt.ini", false);
    EXPECT_FALSE(dir.exists("psdata")) << "the save made the folder";
    ASSERT_EQ(::rename(at(dir, "away").c_str(), at(dir, "psdata").c_str()), 0);
    succeedingTimer();
}

// The file size limit cuts a write short in a child process (the signal it would raise being
// ignored); the child reports what it found as bits of its exit status.
TEST_F(SaveFaultTest, FileSizeLimitMidFileKeepsTheFile) {
    startWithData(true);
    long long size = static_cast<long long>(tableview::render(tableview::copyOf(host)).size());
    for (long long limit : {0LL, 1LL, 65536LL, size / 2, size - 1}) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        std::string previous = dir.read(kData);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit cap;
            getrlimit(RLIMIT_FSIZE, &cap);
            rlim_t unlimited = cap.rlim_cur;
            cap.rlim_cur = static_cast<rlim_t>(limit);
            if (setrlimit(RLIMIT_FSIZE, &cap) != 0) _exit(64);
            std::string table = tableview::render(tableview::copyOf(host));
            host.advance(300);
            int found = 0;
            if (dir.read(kData) != previous) found |= 1;
            if (dir.exists(kTemp)) found |= 2;
            if (tableview::render(tableview::copyOf(host)) != table) found |= 4;
            cap.rlim_cur = unlimited;
            setrlimit(RLIMIT_FSIZE, &cap);
            host.advance(300);
            if (dir.read(kData) != tableview::render(tableview::copyOf(host))) found |= 8;
            _exit(found);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "the child died with status " << status;
        int found = WEXITSTATUS(status);
        ASSERT_NE(found, 64) << "cannot set the file size limit";
        EXPECT_EQ(found & 1, 0) << "the previous file changed";
        EXPECT_EQ(found & 2, 0) << "stray temporary file";
        EXPECT_EQ(found & 4, 0) << "the records changed";
        EXPECT_EQ(found & 8, 0) << "the save after the limit went did not write the file";
    }
}

}  // namespace
