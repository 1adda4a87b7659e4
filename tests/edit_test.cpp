// The tool's edit beside the plug-in. The lock that keeps an edit away from a running host: the
// plug-in holds a shared lock on its data folder from start-up to shutdown, and the tool's
// exclusive request fails meanwhile. The write: the plug-in's own save, keeping the file what it
// is, with the file as it was kept beside it.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/plugin_fixture.h"
#include "tools/common/output.h"
#include "tools/data/edit.h"
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

// An edit of the running host's data file, as the tool's edit command runs it.
int editScore(bool dryRun, std::string* output, std::string* error) {
    simtool::EditRequest request;
    request.file = "psdata/morvelt.ini";
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

TEST_F(FolderLockTest, AFolderThatCannotBeOpenedIsNotLockable) {
    simtool::EditLock lock;
    std::string why;
    EXPECT_EQ(lock.lock("no-such-folder/morvelt.ini", &why), simtool::LockResult::kNotLockable);
    EXPECT_EQ(why.find("cannot open its folder no-such-folder to lock it: "), 0u) << why;
}

}  // namespace
