// The tool's edit beside the plug-in. The locks that keep an edit away from a running host: the
// plug-in holds shared locks on its data folder and its data file from start-up to shutdown,
// passing the file's on to each file it saves, and the tool's exclusive requests fail meanwhile,
// however the file is named. The write: the plug-in's own save, keeping the file what it is,
// with the file as it was kept beside it; run as root, as the owner of a folder another user
// owns, never handing root's rights to that user.
#include <dirent.h>
#include <grp.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/journal_file.h"
#include "tests/plugin_fixture.h"
#include "tools/common/output.h"
#include "tools/common/run_folder.h"
#include "tools/data/datafile_report.h"
#include "tools/data/edit.h"
#include "tools/data/export.h"
#include "tools/data/edit_lock.h"

namespace {

// Whether a new descriptor on the folder gets the lock `operation` (with LOCK_NB) at once.
bool folderLockable(int operation) {
    int fd = open("psdata", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool got = flock(fd, operation | LOCK_NB) == 0;
    close(fd);
    return got;
}

std::vector<std::string> folderEntries(const char* path) {
    std::vector<std::string> names;
    DIR* folder = opendir(path);
    if (folder == nullptr) return names;
    while (dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.') names.push_back(entry->d_name);
    closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

using FolderLockTest = PluginTest;

TEST_F(FolderLockTest, APluginHoldsTheFolderSharedFromStartUpToShutdown) {
    EXPECT_TRUE(folderLockable(LOCK_EX));
    start({"score"});
    EXPECT_FALSE(folderLockable(LOCK_EX));
    EXPECT_TRUE(folderLockable(LOCK_SH)) << "a second host in the folder must still start";
    host.advance(0);
    EXPECT_FALSE(folderLockable(LOCK_EX));
    host.shutdown();
    EXPECT_TRUE(folderLockable(LOCK_EX));
}

TEST_F(FolderLockTest, TheLockAddsNoFileToTheFolder) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    start({"score"});
    host.advance(0);
    EXPECT_EQ(folderEntries("psdata"), (std::vector<std::string>{"morvelt.ini", "morvelt.ini.bak"}));
}

TEST_F(FolderLockTest, AStartUpWithoutAFolderGoesOnWithoutTheLock) {
    ASSERT_EQ(rmdir("psdata"), 0);
    start({"score"});
    host.advance(0);
    EXPECT_EQ(host.timerRequests().size(), 2u);
    host.shutdown();
}

TEST_F(FolderLockTest, AStartUpDuringAnEditWaitsABoundedTimeAndGoesOnWithoutTheLock) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    int edit = open("psdata", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(edit, LOCK_EX | LOCK_NB), 0);
    start({"score"});
    EXPECT_EQ(host.plugin().recordCount(), 1u) << "the start-up goes on and reads the file";
    ASSERT_EQ(host.log().size(), 2u);
    EXPECT_NE(host.log()[1].find("psdata is locked by another program"), std::string::npos) << host.log()[1];
    close(edit);
    EXPECT_TRUE(folderLockable(LOCK_EX)) << "the plug-in holds no lock it did not get";
    host.shutdown();
}

TEST_F(FolderLockTest, AStartUpWhileAToolHoldsTheWorkingFolderWaitsABoundedTimeAndSaysSo) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    int edit = open(".", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(edit, LOCK_EX | LOCK_NB), 0);
    start({"score"});
    EXPECT_EQ(host.plugin().recordCount(), 1u) << "the start-up goes on and reads the file";
    ASSERT_EQ(host.log().size(), 2u);
    EXPECT_EQ(host.log()[1].find("[Morvelt] the working folder is locked by another program"), 0u) << host.log()[1];
    close(edit);
    host.shutdown();
}

TEST_F(FolderLockTest, AStartUpWhileAToolHoldsTheDataFileWaitsABoundedTimeAndSaysSo) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    int edit = open("psdata/morvelt.ini", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(edit, LOCK_EX | LOCK_NB), 0);
    start({"score"});
    EXPECT_EQ(host.plugin().recordCount(), 1u) << "the start-up goes on and reads the file";
    ASSERT_EQ(host.log().size(), 2u);
    EXPECT_EQ(host.log()[1].find("[Morvelt] psdata/morvelt.ini is locked by another program"), 0u) << host.log()[1];
    EXPECT_TRUE(folderLockable(LOCK_SH)) << "the folder's lock is the plug-in's";
    EXPECT_FALSE(folderLockable(LOCK_EX));
    close(edit);
    host.shutdown();
}

TEST_F(FolderLockTest, TheToolIsRefusedWhileAHostRunsAndLocksAfterShutdown) {
    start({"score"});
    host.advance(0);
    {
        simtool::EditLock lock;
        std::string why;
        EXPECT_EQ(lock.lock("psdata/morvelt.ini", &why), simtool::LockResult::kHostRunning);
        EXPECT_EQ(why, "a running host holds its folder psdata (the plug-in locks it from start-up to shutdown)");
    }
    host.shutdown();
    simtool::EditLock lock;
    std::string why;
    EXPECT_EQ(lock.lock("psdata/morvelt.ini", &why), simtool::LockResult::kLocked) << why;
    EXPECT_FALSE(folderLockable(LOCK_SH)) << "the tool's lock is exclusive";
}

TEST_F(FolderLockTest, TheToolLocksTheFolderThatHoldsTheFilesFolderAsThePathIsGiven) {
    ASSERT_EQ(mkdir("backup", 0755), 0);
    ASSERT_EQ(symlink(".", "here"), 0);
    start({"score"});
    for (const char* file : {"backup/morvelt.ini", "backup/./morvelt.ini"}) {
        simtool::EditLock lock;
        std::string why;
        EXPECT_EQ(lock.lock(file, &why), simtool::LockResult::kHostRunning) << file;
        EXPECT_NE(why.find("a running host holds the folder /"), std::string::npos) << why;
    }
    host.shutdown();
    simtool::EditLock lock;
    std::string why;
    EXPECT_EQ(lock.lock("here/morvelt.ini", &why), simtool::LockResult::kNotOpened)
        << "a folder that is its own holder is locked once: " << why;
}

// An edit of the file at `path`, as the tool's edit command runs it.
int editScoreAt(const std::string& path, bool dryRun, std::string* output, std::string* error) {
    simtool::EditRequest request;
    request.file = path;
    request.variables = {"score"};
    request.actions = {{1, {"set", "EIB", "score", "9"}}};
    request.now = hostsim::Host::kDefaultClock;
    request.dryRun = dryRun;
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int status = simtool::runEdit(request, out, error).status;
    fclose(out);
    output->assign(text, size);
    free(text);
    return status;
}

// An edit of the running host's data file.
int editScore(bool dryRun, std::string* output, std::string* error) {
    return editScoreAt("psdata/morvelt.ini", dryRun, output, error);
}

TEST_F(FolderLockTest, EditIsRefusedBesideARunningPlugInAndChangesNothing) {
    const std::string file = "[EIB:1767225600]\nscore=1\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", file));
    start({"score"});
    host.advance(0);
    for (bool dryRun : {false, true}) {
        std::string output, error;
        EXPECT_EQ(editScore(dryRun, &output, &error), simtool::kEditNotDone);
        EXPECT_EQ(error, "psdata/morvelt.ini: a running host holds its folder psdata (the plug-in locks it from "
                         "start-up to shutdown): stop the host first; nothing was changed");
        EXPECT_EQ(output, "");
        EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
        EXPECT_FALSE(dir.exists("psdata/morvelt.ini.before-edit"));
    }
    host.shutdown();
    std::string output, error;
    EXPECT_EQ(editScore(true, &output, &error), simtool::kEditDone) << error;
    EXPECT_NE(output.find("EIB (key 1001): score 1 -> 9"), std::string::npos) << output;
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
}

TEST_F(FolderLockTest, AnEditOfAStoppedServerIsWhatTheNextStartReads) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    start({"score"});
    host.advance(0);
    host.shutdown();
    std::string saved = dir.read("psdata/morvelt.ini");
    std::string output, error;
    ASSERT_EQ(editScore(false, &output, &error), simtool::kEditDone) << error;
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), saved);
    start({"score"});
    ASSERT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(host.plugin().records()[0].values[0], 9);
    EXPECT_EQ(host.plugin().records()[0].stamp, 1767225600u) << "only stamp changes stamps";
}

TEST_F(FolderLockTest, AnEditFollowsASymbolicLinkAndKeepsTheOldFileBesideTheLink) {
    ASSERT_EQ(mkdir("volume", 0755), 0);
    ASSERT_TRUE(dir.write("volume/stats.ini", "[EIB:1767225600]\nscore=1\n"));
    ASSERT_EQ(symlink("../volume/stats.ini", "psdata/morvelt.ini"), 0);
    ASSERT_TRUE(dir.write("psdata/morvelt.ini.before-edit", "an older edit's\n"));
    std::string output, error;
    ASSERT_EQ(editScore(false, &output, &error), simtool::kEditDone) << error;
    char target[64] = {};
    ASSERT_GT(readlink("psdata/morvelt.ini", target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../volume/stats.ini");
    EXPECT_EQ(dir.read("volume/stats.ini"), "[EIB:1767225600]\nscore=9\n");
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), "[EIB:1767225600]\nscore=1\n");
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit.1"), "an older edit's\n");
    EXPECT_EQ(folderEntries("psdata"),
              (std::vector<std::string>{"morvelt.ini", "morvelt.ini.before-edit", "morvelt.ini.before-edit.1"}));
}

// An undo of psdata/morvelt.ini, as the tool's undo command runs it.
int undoEdit(std::string* error) {
    simtool::EditRequest request;
    request.file = "psdata/morvelt.ini";
    request.now = hostsim::Host::kDefaultClock;
    request.undoCopy = 0;
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int status = simtool::runEdit(request, out, error).status;
    fclose(out);
    free(text);
    return status;
}

TEST_F(FolderLockTest, UndoIsRefusedWhileAHostRunsAndPutsTheCopyBackAfterShutdown) {
    const std::string edited = "[EIB:1767225600]\nscore=9\n", kept = "[EIB:1767225600]\nscore=1\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", edited));
    ASSERT_TRUE(dir.write("psdata/morvelt.ini.before-edit", kept));
    start({"score"});
    std::string error;
    EXPECT_EQ(undoEdit(&error), simtool::kEditNotDone);
    EXPECT_NE(error.find("stop the host first; nothing was changed"), std::string::npos) << error;
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), kept);
    host.shutdown();
    std::string saved = dir.read("psdata/morvelt.ini");
    ASSERT_EQ(undoEdit(&error), simtool::kEditDone) << error;
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), kept);
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), saved) << "undo keeps what it replaces";
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit.1"), kept);
}

TEST_F(FolderLockTest, UndoNeverReadsACopyThroughALink) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=9\n"));
    ASSERT_TRUE(dir.write("secret", "[EIB:1767225600]\nscore=666\n"));
    ASSERT_EQ(symlink("../secret", "psdata/morvelt.ini.before-edit"), 0);
    std::string error;
    EXPECT_EQ(undoEdit(&error), simtool::kEditBadInput);
    EXPECT_EQ(error, "psdata/morvelt.ini.before-edit: is a symbolic link, not a file the tool made: it is not followed");
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:1767225600]\nscore=9\n");
}

TEST_F(FolderLockTest, KeptCopiesGrowOlderAsEntriesNeverThroughALink) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    ASSERT_TRUE(dir.write("victim", "not the tool's\n"));
    ASSERT_EQ(symlink("../victim", "psdata/morvelt.ini.before-edit.3"), 0);
    ASSERT_TRUE(dir.write("psdata/morvelt.ini.before-edit.9", "the oldest\n"));
    std::string output, error;
    ASSERT_EQ(editScore(false, &output, &error), simtool::kEditDone) << error;
    EXPECT_EQ(dir.read("victim"), "not the tool's\n");
    char target[64] = {};
    EXPECT_GT(readlink("psdata/morvelt.ini.before-edit.4", target, sizeof target - 1), 0);
    EXPECT_FALSE(dir.exists("psdata/morvelt.ini.before-edit.9")) << "ten copies at most";
    EXPECT_EQ(folderEntries("psdata"), (std::vector<std::string>{"morvelt.ini", "morvelt.ini.before-edit",
                                                                 "morvelt.ini.before-edit.4"}));
}

// A stream that takes `room` bytes and then fails as a full disk does.
ssize_t writeWithinRoom(void* cookie, const char* /*data*/, size_t size) {
    size_t* room = static_cast<size_t*>(cookie);
    if (size > *room) {
        errno = ENOSPC;
        return -1;
    }
    *room -= size;
    return static_cast<ssize_t>(size);
}

FILE* streamWithRoom(size_t* room) {
    return fopencookie(room, "w", cookie_io_functions_t{nullptr, writeWithinRoom, nullptr, nullptr});
}

// The edit of editScore, writing its report to a stream with `room` bytes.
simtool::EditResult editScoreWithRoom(size_t room, std::string* error) {
    simtool::EditRequest request;
    request.file = "psdata/morvelt.ini";
    request.variables = {"score"};
    request.actions = {{1, {"set", "EIB", "score", "9"}}};
    request.now = hostsim::Host::kDefaultClock;
    FILE* out = streamWithRoom(&room);
    simtool::EditResult result = simtool::runEdit(request, out, error);
    EXPECT_NE(simtool::outputError(out), 0) << "the report did not fill the stream";
    fclose(out);
    return result;
}

TEST_F(FolderLockTest, AnEditWhoseReportCannotBeWrittenChangesNothing) {
    const std::string file = "[EIB:1767225600]\nscore=1\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", file));
    std::string error;
    simtool::EditResult result = editScoreWithRoom(0, &error);
    EXPECT_EQ(result.status, simtool::kEditOutputFailed);
    EXPECT_EQ(result.written, "");
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
    EXPECT_EQ(folderEntries("psdata"), std::vector<std::string>{"morvelt.ini"});
}

TEST_F(FolderLockTest, AnOutputFailureAfterTheWriteKnowsTheFileWasWritten) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    std::string output, error;
    ASSERT_EQ(editScore(true, &output, &error), simtool::kEditDone) << error;
    size_t report = output.find("\ndry run:");  // what is printed before the file is changed
    ASSERT_NE(report, std::string::npos) << output;
    simtool::EditResult result = editScoreWithRoom(report, &error);
    EXPECT_EQ(result.status, simtool::kEditDone) << error;
    EXPECT_EQ(result.written.rfind("psdata/morvelt.ini was written; the file as it was is kept as psdata/morvelt.ini.before-edit", 0), 0u) << result.written;
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:1767225600]\nscore=9\n");
}

// The value of the file's attribute user.note, or "(none)".
std::string noteOf(const char* path) {
    char value[64];
    ssize_t n = lgetxattr(path, "user.note", value, sizeof value);
    return n < 0 ? "(none)" : std::string(value, static_cast<size_t>(n));
}

TEST_F(FolderLockTest, AnEditKeepsTheFilesExtendedAttributesOnBothFiles) {
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    if (lsetxattr("psdata/morvelt.ini", "user.note", "kept", 4, 0) != 0)
        GTEST_SKIP() << "this file system refuses user attributes: " << strerror(errno);
    std::string output, error;
    ASSERT_EQ(editScore(false, &output, &error), simtool::kEditDone) << error;
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:1767225600]\nscore=9\n");
    EXPECT_EQ(noteOf("psdata/morvelt.ini"), "kept");
    EXPECT_EQ(noteOf("psdata/morvelt.ini.before-edit"), "kept");
}

// A journal of a save cut short would be replayed over an edit at the next start: edit refuses
// while one is pending (tool_unit_test shows inspect saying so).
TEST_F(FolderLockTest, WhileAJournalIsPendingEditRefuses) {
    const std::string file = "[EIB:1767225600]\nscore=1\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", file));
    const std::string journal = journalfile::absolute("psdata/morvelt.ini.journal");
    ASSERT_TRUE(dir.write("psdata/morvelt.ini.journal",
                          journalfile::journalFor("psdata/morvelt.ini", "[EIB:1767225600]\nscore=2\n")));
    ASSERT_EQ(chmod("psdata/morvelt.ini.journal", 0600), 0);

    std::string output, error;
    EXPECT_EQ(editScore(false, &output, &error), simtool::kEditNotDone);
    EXPECT_EQ(error, "psdata/morvelt.ini: the journal " + journal + " of a save cut short is pending, and the next "
                     "start of the host replays it over any edit: start and stop the host once first (or remove the "
                     "journal to give up that save); nothing was changed");
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
    EXPECT_FALSE(dir.exists("psdata/morvelt.ini.before-edit"));

    start({"score"});  // replays it: then edit goes on
    host.shutdown();
    EXPECT_EQ(editScore(false, &output, &error), simtool::kEditDone) << error;
}

TEST_F(FolderLockTest, AFolderThatCannotBeOpenedIsNotLockable) {
    simtool::EditLock lock;
    std::string why;
    EXPECT_EQ(lock.lock("no-such-folder/morvelt.ini", &why), simtool::LockResult::kNotLockable);
    EXPECT_EQ(why.find("cannot open its folder no-such-folder to lock it: "), 0u) << why;
}

// Ways the file a running host will write comes to be named otherwise than its start-up saw it.
// Whatever the name, edit is refused until shutdown and changes nothing.
struct Renaming {
    const char* what;
    void (*beforeStart)(hostsim::WorkDir& dir);
    void (*afterStart)(hostsim::WorkDir& dir, hostsim::Host& host);
    const char* edited;  // the path edit is given
};

const char kOneUser[] = "[EIB:1767225600]\nscore=1\n";

void linkToVolume(hostsim::WorkDir& dir) {
    ASSERT_EQ(mkdir("volume", 0755), 0);
    ASSERT_TRUE(dir.write("volume/stats.ini", kOneUser));
    ASSERT_EQ(symlink("../volume/stats.ini", "psdata/morvelt.ini"), 0);
}

// Cases A and D edit a file the host has not saved yet: only the working folder's lock shows it.
const Renaming kRenamings[] = {
    {"PsdataMadeAfterStartUp", [](hostsim::WorkDir&) { ASSERT_EQ(rmdir("psdata"), 0); },
     [](hostsim::WorkDir& dir, hostsim::Host& host) {
         ASSERT_EQ(mkdir("psdata", 0755), 0);
         ASSERT_TRUE(dir.write("psdata/morvelt.ini", kOneUser));
         host.addRoom(7, std::vector<std::string>{"SetStats-score"});
         void* user = host.addUser(1001, 0);  // EIB, whom the save at shutdown writes
         host.logon(user, 7);
         host.changeSpot(user, 7, 1, 5);
     },
     "psdata/morvelt.ini"},
    {"LinkedFileEditedAtItsTarget", linkToVolume, [](hostsim::WorkDir&, hostsim::Host&) {}, "volume/stats.ini"},
    {"LinkedFileEditedAtItsTargetAfterASave", linkToVolume,
     [](hostsim::WorkDir&, hostsim::Host& host) { host.advance(0); }, "volume/stats.ini"},
    {"PsdataMovedAsideAndMadeAnew", [](hostsim::WorkDir& dir) { ASSERT_TRUE(dir.write("psdata/morvelt.ini", kOneUser)); },
     [](hostsim::WorkDir& dir, hostsim::Host&) {
         ASSERT_EQ(rename("psdata", "psdata.old"), 0);
         ASSERT_EQ(mkdir("psdata", 0755), 0);
         ASSERT_TRUE(dir.write("psdata/morvelt.ini", kOneUser));
     },
     "psdata/morvelt.ini"},
};

class RenamedFileTest : public PluginTest, public ::testing::WithParamInterface<Renaming> {};

TEST_P(RenamedFileTest, EditIsRefusedWhereverTheRunningPlugInWillWriteTheFile) {
    const Renaming& renaming = GetParam();
    renaming.beforeStart(dir);
    start({"score"});
    renaming.afterStart(dir, host);
    std::string before = dir.read(renaming.edited), output, error;
    ASSERT_NE(before, "");
    EXPECT_EQ(editScoreAt(renaming.edited, false, &output, &error), simtool::kEditNotDone) << output;
    EXPECT_NE(error.find("a running host holds"), std::string::npos) << error;
    EXPECT_EQ(dir.read(renaming.edited), before);
    EXPECT_FALSE(dir.exists(std::string(renaming.edited) + ".before-edit"));
    host.shutdown();
    EXPECT_EQ(editScoreAt(renaming.edited, false, &output, &error), simtool::kEditDone) << error;
}

INSTANTIATE_TEST_SUITE_P(Renamings, RenamedFileTest, ::testing::ValuesIn(kRenamings),
                         [](const ::testing::TestParamInfo<Renaming>& info) { return std::string(info.param.what); });

TEST_F(FolderLockTest, APsdataThatIsAFifoIsNotLockedAndStartUpGoesOn) {
    ASSERT_EQ(rmdir("psdata"), 0);
    ASSERT_EQ(mkfifo("psdata", 0644), 0);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a start-up that waits for a writer is ended here
        start({"score"});
        host.shutdown();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "start-up hung on the FIFO: status " << status;
}

TEST_F(FolderLockTest, AnEditOfAFileTheReaderCannotHoldWholeWritesNothing) {
    const std::string file = "[EIB:1767225600]\nscore=1\n[FIB:1767225600]\nscore=2\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", file));
    host.failNewPtrClearAfter(1);  // no memory for the second user's values
    std::string output, error;
    EXPECT_EQ(editScore(false, &output, &error), simtool::kEditNotDone) << output;
    EXPECT_NE(error.find("could not hold it whole"), std::string::npos) << error;
    EXPECT_EQ(output, "");
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), file);
    EXPECT_FALSE(dir.exists("psdata/morvelt.ini.before-edit"));
}

// ---- Run as root in a folder that the host's user owns -----------------------------------------

constexpr uid_t kNobody = 65534;

// Runs `job` in a child process, as nobody where `asNobody`; its exit status (-1 if it died).
int inChild(bool asNobody, const std::function<int()>& job) {
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
        _exit(job());
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

struct stat statusOf(const std::string& path) {
    struct stat status = {};
    lstat(path.c_str(), &status);
    return status;
}

// Makes a file at `path` owned by root:root with `mode` and `content`.
void rootFile(const std::string& path, mode_t mode, const std::string& content) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
}

class RootEditTest : public PluginTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "these tests need root: root's edit in a folder of nobody's";
        PluginTest::SetUp();
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chown("psdata", kNobody, kNobody), 0);
    }

    // Runs `plant` as nobody (the host's user), who owns psdata.
    void plant(const std::function<bool()>& plant) { ASSERT_EQ(inChild(true, [&] { return plant() ? 0 : 1; }), 0); }

    // Root's edit of psdata/morvelt.ini with `actions`, in a child (it may give up root); its exit status.
    int rootEdit(const std::vector<std::string>& actions, bool force = false) {
        simtool::EditRequest request;
        request.force = force;
        std::string error;
        if (!simtool::parseEditActions(actions, &request.actions, &error)) return 98;
        return asRoot(request);
    }

    // Root's undo of psdata/morvelt.ini's last edit, in a child; its exit status.
    int rootUndo() {
        simtool::EditRequest request;
        request.undoCopy = 0;
        return asRoot(request);
    }

    int asRoot(simtool::EditRequest request) {
        return inChild(false, [&] {
            request.file = "psdata/morvelt.ini";
            request.variables = {"score"};
            request.now = hostsim::Host::kDefaultClock;
            std::string error;
            FILE* out = fopen("/dev/null", "w");
            int status = simtool::runEdit(request, out, &error).status;
            fclose(out);
            return status;
        });
    }

    const std::string record = "[EIB:1767225600]\nscore=12\n";
};

TEST_F(RootEditTest, AnExecutableDataFileNeverGivesAnyoneRootsRights) {
    const std::string executable = std::string("\x7f" "ELF\x01\x01\x01\n", 8) + record;
    plant([&] { return dir.write("psdata/morvelt.ini", executable) && chmod("psdata/morvelt.ini", 05755) == 0; });
    ASSERT_EQ(rootEdit({"set", "EIB", "score", "13"}), simtool::kEditDone);
    EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), executable);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:1767225600]\nscore=13\n");
    for (const char* path : {"psdata/morvelt.ini", "psdata/morvelt.ini.before-edit"}) {
        struct stat made = statusOf(path);
        EXPECT_EQ(made.st_uid, kNobody) << path << ": the edit ran as the folder's owner";
        EXPECT_EQ(made.st_mode & S_ISVTX, 0u) << path;
        if (made.st_mode & (S_ISUID | S_ISGID))
            EXPECT_TRUE(made.st_uid == kNobody && made.st_gid == kNobody) << path << ": set-ID bits with another owner";
    }
}

TEST_F(RootEditTest, ALinkAtTheCopysTemporaryNameIsNeverWrittenThrough) {
    rootFile("secret", 0600, "root's own\n");
    for (const char* target : {"../secret", "../made-by-link"}) {
        SCOPED_TRACE(target);
        plant([&] {
            unlink("psdata/morvelt.ini.before-edit.tmp");
            return dir.write("psdata/morvelt.ini", record) &&
                   symlink(target, "psdata/morvelt.ini.before-edit.tmp") == 0;
        });
        EXPECT_EQ(rootEdit({"set", "EIB", "score", "13"}), simtool::kEditDone);
        EXPECT_EQ(dir.read("secret"), "root's own\n");
        struct stat secret = statusOf("secret");
        EXPECT_EQ(secret.st_mode & 07777, 0600u);
        EXPECT_EQ(secret.st_uid, 0u);
        EXPECT_FALSE(dir.exists("made-by-link"));
        EXPECT_TRUE(S_ISREG(statusOf("psdata/morvelt.ini.before-edit").st_mode));
        EXPECT_EQ(dir.read("psdata/morvelt.ini.before-edit"), record);
    }
}

TEST_F(RootEditTest, ADataFileLinkedToARootOnlyFileIsNeitherReadNorWritten) {
    rootFile("root-only", 0640, record);
    plant([] { return symlink("../root-only", "psdata/morvelt.ini") == 0; });
    EXPECT_EQ(rootEdit({"stamp", "all", "now"}), simtool::kEditNotDone);
    EXPECT_EQ(rootEdit({"stamp", "all", "now"}, true), simtool::kEditNotDone) << "--force is for locks, not for rights";
    EXPECT_EQ(dir.read("root-only"), record);
    struct stat file = statusOf("root-only");
    EXPECT_EQ(file.st_mode & 07777, 0640u);
    EXPECT_EQ(file.st_uid, 0u);
    EXPECT_EQ(folderEntries("psdata"), std::vector<std::string>{"morvelt.ini"}) << "no copy of root's file";
}

TEST_F(RootEditTest, ARunInAFolderOfNobodysRunsAsNobody) {
    EXPECT_EQ(inChild(false, [] {
                  simtool::RunFolder folder;
                  std::string error;
                  return folder.enter(".", &error) && geteuid() == kNobody && getegid() == kNobody ? 0 : 1;
              }),
              0);
}

// A psdata that root owns but another user can still change: root stays root there, so the tool
// must refuse rather than follow what that user planted.
struct SharedFolder {
    const char* name;
    gid_t group;
    mode_t mode;
};

void PrintTo(const SharedFolder& folder, std::ostream* out) { *out << folder.name; }

class RootSharedFolderTest : public RootEditTest, public ::testing::WithParamInterface<SharedFolder> {
  protected:
    void SetUp() override {
        RootEditTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(chown("psdata", 0, GetParam().group), 0);
        ASSERT_EQ(chmod("psdata", GetParam().mode), 0);
    }
};

const std::string kEvil = "evil::0:0::/root:/bin/sh\n[EIB:1796918000]\nscore=1\n";

TEST_P(RootSharedFolderTest, EditAndUndoThroughAPlantedLinkAreRefusedAndTheRootFileIsUntouched) {
    rootFile("root-only", 0640, record);
    plant([] { return symlink("../root-only", "psdata/morvelt.ini") == 0; });
    EXPECT_EQ(rootEdit({"stamp", "all", "now"}), simtool::kEditNotDone);
    plant([&] { return dir.write("psdata/morvelt.ini.before-edit", kEvil); });
    EXPECT_EQ(rootUndo(), simtool::kEditNotDone);
    EXPECT_EQ(dir.read("root-only"), record);
    struct stat file = statusOf("root-only");
    EXPECT_EQ(file.st_mode & 07777, 0640u);
    EXPECT_EQ(file.st_uid, 0u);
    EXPECT_EQ(folderEntries("psdata"), (std::vector<std::string>{"morvelt.ini", "morvelt.ini.before-edit"}));
}

TEST_P(RootSharedFolderTest, ARunThereIsRefused) {
    EXPECT_EQ(inChild(false, [] {
                  simtool::RunFolder folder;
                  std::string error;
                  return folder.enter(".", &error) ? 1 : error.find("psdata: ") != std::string::npos ? 0 : 2;
              }),
              0);
    EXPECT_EQ(folderEntries("psdata"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Folders, RootSharedFolderTest,
                         ::testing::Values(SharedFolder{"GroupWritable", kNobody, 0775},
                                           SharedFolder{"StickyAndWritableByAll", 0, 01777}),
                         [](const ::testing::TestParamInfo<SharedFolder>& info) { return info.param.name; });

TEST_F(RootEditTest, APsdataOfRootsInAFolderOfAnothersIsRefused) {
    // nobody, who owns the folder holding psdata, can swap psdata for a link to a folder of root's.
    ASSERT_EQ(chown("psdata", 0, 0), 0);
    rootFile("psdata/morvelt.ini", 0600, record);
    ASSERT_EQ(chown(".", kNobody, kNobody), 0);
    EXPECT_EQ(rootEdit({"set", "EIB", "score", "13"}), simtool::kEditNotDone);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), record);
}

TEST_F(RootEditTest, APsdataOfRootsReachedThroughALinkIntoASharedFolderIsRefused) {
    // psdata and the folder it is named in are root's alone; the folder the link leads into is
    // not, and its group could swap psdata there for a folder of its own.
    ASSERT_EQ(mkdir("shared", 0775), 0);
    ASSERT_EQ(chown("shared", 0, kNobody), 0);
    ASSERT_EQ(chmod("shared", 0775), 0);
    ASSERT_EQ(rename("psdata", "shared/psdata"), 0);
    ASSERT_EQ(chown("shared/psdata", 0, 0), 0);
    ASSERT_EQ(symlink("shared/psdata", "psdata"), 0);
    rootFile("psdata/morvelt.ini", 0600, record);
    EXPECT_EQ(rootEdit({"set", "EIB", "score", "13"}), simtool::kEditNotDone);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), record);
}

TEST_F(RootEditTest, APsdataOnlyRootCanChangeIsEditedAsRoot) {
    // The working folder is in /tmp: sticky, which excuses it on the way, as the entry is root's.
    ASSERT_EQ(chown("psdata", 0, 0), 0);
    rootFile("psdata/morvelt.ini", 0600, record);
    ASSERT_EQ(rootEdit({"set", "EIB", "score", "13"}), simtool::kEditDone);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), "[EIB:1767225600]\nscore=13\n");
    EXPECT_EQ(statusOf("psdata/morvelt.ini").st_uid, 0u);
    ASSERT_EQ(rootUndo(), simtool::kEditDone);
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), record);
}

// A read command, as inspect and export run it.
struct ReadCommand {
    const char* name;
    bool (*run)(const simtool::LoadRequest& load, FILE* out, std::string* error);
};

const ReadCommand kReadCommands[] = {
    {"inspect", simtool::inspectDataFile},
    {"export", [](const simtool::LoadRequest& load, FILE* out, std::string* error) {
         return simtool::exportRecords({load, simtool::ExportFormat::kCsv}, out, error);
     }}};

// Runs `command` as root on psdata/evil.ini in a child; what it printed, or "failed: " and its
// error, and "not root again" where the process did not return to root's identity.
std::string rootRead(const ReadCommand& command) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    int status = inChild(false, [&] {
        close(fds[0]);
        std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr))), after(groups.size() + 1);
        getgroups(static_cast<int>(groups.size()), groups.data());
        simtool::LoadRequest load{"psdata/evil.ini", {"score"}, hostsim::Host::kDefaultClock};
        char* text = nullptr;
        size_t size = 0;
        FILE* out = open_memstream(&text, &size);
        std::string error;
        bool ok = command.run(load, out, &error);
        fclose(out);
        std::string result = ok ? std::string(text, size) : "failed: " + error;
        after.resize(static_cast<size_t>(getgroups(static_cast<int>(after.size()), after.data())));
        if (geteuid() != 0 || getegid() != 0 || after != groups) result += "not root again";
        return write(fds[1], result.data(), result.size()) == static_cast<ssize_t>(result.size()) ? 0 : 1;
    });
    close(fds[1]);
    std::string shown;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    return status == 0 ? shown : "child failed";
}

TEST_F(RootEditTest, ReadCommandsNeverShowARootFileThroughAPlantedLink) {
    rootFile("root-only", 0640, "[EIB:1767225600]\nscore=4242\n");
    plant([] { return symlink("../root-only", "psdata/evil.ini") == 0; });
    for (uid_t owner : {kNobody, uid_t{0}}) {  // nobody's psdata, then root's that nobody's group can change
        ASSERT_EQ(chown("psdata", owner, kNobody), 0);
        ASSERT_EQ(chmod("psdata", 0775), 0);
        for (const ReadCommand& command : kReadCommands) {
            SCOPED_TRACE(std::string(command.name) + " in a folder of user " + std::to_string(owner));
            std::string shown = rootRead(command);
            EXPECT_EQ(shown.rfind("failed: ", 0), 0u) << shown;
            EXPECT_EQ(shown.find("4242"), std::string::npos) << shown;
            EXPECT_EQ(shown.find("not root again"), std::string::npos) << shown;
        }
    }
}

TEST_F(RootEditTest, ReadCommandsReadNobodysFileAndReturnToRoot) {
    plant([&] { return dir.write("psdata/evil.ini", "[EIB:1767225600]\nscore=77\n"); });
    for (const ReadCommand& command : kReadCommands) {
        SCOPED_TRACE(command.name);
        std::string shown = rootRead(command);
        EXPECT_NE(shown.find("77"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("failed"), std::string::npos) << shown;
        EXPECT_EQ(shown.find("not root again"), std::string::npos) << shown;
    }
}

}  // namespace
