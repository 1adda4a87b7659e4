// Saves on the data file as operators really set it up: a data folder the host cannot write, a
// symbolic link to storage elsewhere (or to a file not made yet), a second hard link, a file
// owned by another user, no permission bits at all, a folder in the backup's place, no room for
// a second copy, stray links at the temporary names, and a file that cannot be read. Each time
// the values are saved (or, where nothing can be written, kept in memory with the file as it
// was), the file stays the file it was (links, owner, group, mode), the backup is right, and the
// host's log says what went wrong, once.
//
// Each set-up runs in a child process: some run the host as the unprivileged user, and the
// disk with little room is this program's own `write`, which charges only what a write adds
// beyond the end of a file.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"
#include "tests/table_view.h"

// ---- A disk with little room -----------------------------------------------------------------
namespace {

long long growthBudget = -1;  // bytes that writes may still add to files; -1: no limit

// The bytes a write of `size` bytes adds beyond the end of the regular file `fd`.
long long growthOf(int fd, size_t size) {
    struct stat status;
    off_t at = lseek(fd, 0, SEEK_CUR);
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || at < 0) return 0;
    long long end = static_cast<long long>(at) + static_cast<long long>(size);
    long long from = at > status.st_size ? at : status.st_size;
    return end > from ? end - from : 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    if (growthBudget >= 0) {
        long long growth = growthOf(fd, size);
        if (growth > growthBudget) {
            long long cut = growth - growthBudget;
            if (static_cast<long long>(size) <= cut) {
                errno = ENOSPC;
                return -1;
            }
            size -= static_cast<size_t>(cut);
            growth = growthBudget;
        }
        growthBudget -= growth;
    }
    return syscall(SYS_write, fd, data, size);
}

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kBackup[] = "psdata/morvelt.ini.bak";
constexpr uid_t kNobody = 65534;
constexpr uid_t kOtherUser = 12345;
constexpr gid_t kOtherGroup = 23456;

const char kBackupFailedAccess[] =
    "[Morvelt] psdata/morvelt.ini.bak cannot be made: Permission denied. Saving goes on without a backup of the "
    "file found at start-up.";
const char kBackupFailedFolder[] =
    "[Morvelt] psdata/morvelt.ini.bak cannot be made: Is a directory. Saving goes on without a backup of the "
    "file found at start-up.";
const char kBackupFailedSpace[] =
    "[Morvelt] psdata/morvelt.ini.bak cannot be made: No space left on device. Saving goes on without a backup "
    "of the file found at start-up.";
const char kSaveFailedSpace[] =
    "[Morvelt] psdata/morvelt.ini cannot be saved: No space left on device. The statistics stay in memory; "
    "every timer event tries again.";
const char kSavedAgain[] = "[Morvelt] psdata/morvelt.ini is saved again.";
const char kNoJournalSpace[] =
    "[Morvelt] psdata/morvelt.ini is rewritten in place without a journal: none can be written in its folder, "
    "$TMPDIR, /var/tmp or /tmp (No space left on device). A crash during such a save can tear the file.";

// Extended attributes by name, each with its value.
using Attributes = std::vector<std::pair<std::string, std::string>>;

// An access control list as the kernel keeps it in system.posix_acl_access: owner read and
// write, user nobody read, group read, mask read, others nothing (it goes with mode 0640).
std::string aclGrantingNobodyRead() {
    struct Entry {
        uint16_t tag, permissions;
        uint32_t id;
    };
    constexpr uint32_t kNone = 0xFFFFFFFF;
    const Entry entries[] = {{0x01, 6, kNone}, {0x02, 4, kNobody}, {0x04, 4, kNone}, {0x10, 4, kNone}, {0x20, 0, kNone}};
    const uint32_t version = 2;
    std::string acl(reinterpret_cast<const char*>(&version), sizeof version);
    acl.append(reinterpret_cast<const char*>(entries), sizeof entries);
    return acl;
}

// Gives the file at `path` every attribute of `attributes`; false with a message where it cannot.
testing::AssertionResult setAttributes(const std::string& path, const Attributes& attributes) {
    for (const auto& [name, value] : attributes)
        if (lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0)
            return testing::AssertionFailure() << name << ": " << strerror(errno);
    return testing::AssertionSuccess();
}

// The value of the file's attribute `name`, or "(none)".
std::string attributeOf(const std::string& path, const std::string& name) {
    char value[1024];
    ssize_t n = lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
    return n < 0 ? "(none)" : std::string(value, static_cast<size_t>(n));
}

enum class Way { kRename, kInPlace, kCreated };          // how the file got its new content
enum class BackupKind { kFound, kMissing, kFolder };   // what stands at the backup's place after

// One set-up of the data file.
struct FileSetup {
    const char* what;
    std::function<void()> prepare;  // as root, in the working folder, before start-up
    const char* target;             // the file that holds the data, through any link
    bool asNobody = false;          // the host runs as the unprivileged user
    bool grows = true;              // a new user stores (the text grows), else a known value changes
    long long room = -1;            // what writes may add to files; -1: no limit
    bool saved = true;              // the first events save (else the file stays as found)
    Way way = Way::kRename;
    BackupKind backup = BackupKind::kFound;
    mode_t mode = 0;                        // the file's mode after, where it differs from before
    mode_t backupMode = 0;                  // a copied backup's mode (0: the file's mode before)
    std::vector<std::string> log;           // lines after the start-up line
    std::function<void()> midRun;           // in the child, before a third event
    std::vector<std::string> otherNames;    // further names that must read as the target
    std::vector<std::pair<std::string, std::string>> untouched;  // files that must keep their text
    Attributes attributes;         // extended attributes the target holds before and after
    Attributes backupAttributes;   // those the backup must hold

    FileSetup(const char* what_, const char* target_, std::function<void()> prepare_)
        : what(what_), prepare(std::move(prepare_)), target(target_) {}
};

// What the child saw.
struct Seen {
    std::string table;       // the record table as text, after the last event
    std::string afterFirst;  // the target after the first two events
    std::vector<std::string> log;
};

// Strings through a pipe: each as its length, a line feed, and its bytes.
void send(int fd, const std::string& text) {
    std::string framed = std::to_string(text.size()) + "\n" + text;
    if (::write(fd, framed.data(), framed.size()) != static_cast<ssize_t>(framed.size())) _exit(3);
}

bool receive(const std::string& all, size_t& at, std::string& text) {
    size_t lf = all.find('\n', at);
    if (lf == std::string::npos) return false;
    size_t size = std::stoul(all.substr(at, lf - at));
    text = all.substr(lf + 1, size);
    at = lf + 1 + size;
    return text.size() == size;
}

void writeFile(const std::string& path, const std::string& text, mode_t mode, uid_t owner = 0, gid_t group = 0) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(fchown(fd, owner, group), 0);
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
}

std::string readFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    return text;
}

// The names in `folder` ending in ".tmp".
std::vector<std::string> temporaries(const char* folder) {
    std::vector<std::string> found;
    for (const char* name : {"morvelt.ini.tmp", "morvelt.ini.bak.tmp", "stats.ini.tmp"}) {
        std::string path = std::string(folder) + "/" + name;
        struct stat status;
        if (lstat(path.c_str(), &status) == 0) found.push_back(path);
    }
    return found;
}

class FileSetupTest : public PluginTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the set-ups need root: owners, groups and an unprivileged user";
        PluginTest::SetUp();
        ASSERT_EQ(mkdir("vol", 0755), 0);
        found = header("EIB", now()) + "score=5\n";
    }

    uint32_t now() const { return static_cast<uint32_t>(host.now()); }

    // Runs the host through three timer events in a child process, as `setup` says.
    Seen runChild(const FileSetup& setup) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            close(ends[0]);
            if (setup.asNobody && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(2);
            start({"score"});
            host.addRoom(7, std::vector<std::string>{"SetStats-score"});
            void* user = host.addUser(setup.grows ? 1002 : 1001, 0);
            host.logon(user, 7);
            host.changeSpot(user, 7, 1, setup.grows ? 6 : 7);
            growthBudget = setup.room;
            host.advance(0);
            host.advance(300);
            std::string afterFirst = readFile(setup.target);
            if (setup.midRun) setup.midRun();
            host.advance(300);
            send(ends[1], tableview::render(tableview::copyOf(host)));
            send(ends[1], afterFirst);
            for (size_t i = 1; i < host.log().size(); ++i) send(ends[1], host.log()[i]);
            _exit(0);
        }
        close(ends[1]);
        std::string all;
        char buffer[4096];
        ssize_t n;
        while ((n = read(ends[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
        close(ends[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with status " << status;
        Seen seen;
        size_t at = 0;
        std::string line;
        receive(all, at, seen.table);
        receive(all, at, seen.afterFirst);
        while (receive(all, at, line)) seen.log.push_back(line);
        return seen;
    }

    std::string found;  // the data file start-up finds, where there is one
};

// The checks every set-up shares; `before` and `dataBefore` are lstat of the target and of the
// data path before the run.
void checkSetup(const FileSetup& c, const Seen& seen, const std::string& found, bool existed, const struct stat& before,
                const struct stat& dataBefore) {
    std::string table = seen.table;
    EXPECT_EQ(seen.afterFirst, c.saved ? table : found) << (c.saved ? "not saved" : "the file changed");
    EXPECT_EQ(readFile(c.target), table) << "the third event did not save";
    EXPECT_EQ(seen.log, c.log);

    struct stat after, dataAfter;
    ASSERT_EQ(lstat(c.target, &after), 0);
    ASSERT_EQ(lstat(kData, &dataAfter), 0);
    EXPECT_EQ(S_ISLNK(dataAfter.st_mode), S_ISLNK(dataBefore.st_mode)) << "the data path changed its kind";
    if (existed) {
        if (c.way == Way::kInPlace) EXPECT_EQ(after.st_ino, before.st_ino) << "not rewritten in place";
        if (c.way == Way::kRename) EXPECT_NE(after.st_ino, before.st_ino) << "not replaced by rename";
        EXPECT_EQ(after.st_uid, before.st_uid) << "owner";
        EXPECT_EQ(after.st_gid, before.st_gid) << "group";
        EXPECT_EQ(after.st_nlink, before.st_nlink) << "links";
        EXPECT_EQ(after.st_mode & 07777, c.mode != 0 ? c.mode : before.st_mode & 07777) << "mode";
    }
    for (const std::string& name : c.otherNames) EXPECT_EQ(readFile(name), table) << name << " kept the old text";
    for (const auto& [name, value] : c.attributes) EXPECT_EQ(attributeOf(c.target, name), value) << name;
    for (const auto& [name, value] : c.backupAttributes) EXPECT_EQ(attributeOf(kBackup, name), value) << "backup's " << name;

    struct stat backup;
    bool backupThere = lstat(kBackup, &backup) == 0;
    switch (c.backup) {
        case BackupKind::kMissing:
            EXPECT_FALSE(backupThere) << "a backup was made";
            break;
        case BackupKind::kFolder:
            EXPECT_TRUE(backupThere && S_ISDIR(backup.st_mode)) << "the folder in the backup's place went";
            break;
        case BackupKind::kFound:
            ASSERT_TRUE(backupThere && S_ISREG(backup.st_mode)) << "no backup, or not a regular file";
            EXPECT_EQ(readFile(kBackup), found);
            EXPECT_NE(backup.st_ino, after.st_ino) << "the backup is the data file";
            if (c.way == Way::kInPlace) {
                EXPECT_EQ(backup.st_mode & 07777, c.backupMode != 0 ? c.backupMode : before.st_mode & 07777);
                if (c.backupMode == 0) EXPECT_EQ(backup.st_uid, before.st_uid);
                if (c.backupMode == 0) EXPECT_EQ(backup.st_gid, before.st_gid);
            }
            break;
    }
    EXPECT_EQ(temporaries("psdata"), std::vector<std::string>{});
    EXPECT_EQ(temporaries("vol"), std::vector<std::string>{});
}

// The set-ups; `here` is the working folder.
std::vector<FileSetup> setups(const std::string& here, const std::string& found) {
    std::vector<FileSetup> list;
    auto add = [&list](const char* what, const char* target, std::function<void()> prepare) -> FileSetup& {
        list.emplace_back(what, target, std::move(prepare));
        return list.back();
    };
    add("a plain file of another mode", kData, [=] { writeFile(kData, found, 0640); });
    add("no permission bits at all", kData, [=] { writeFile(kData, found, 0); }).mode = 0600;
    add("owned by another user and group", kData,
        [=] { writeFile(kData, found, 0640, kOtherUser, kOtherGroup); });
    {
        FileSetup& s = add("a folder the host cannot write, the file it can", kData, [=] {
            ASSERT_EQ(chmod(here.c_str(), 0755), 0);
            writeFile(kData, found, 0644, kNobody, kNobody);
        });
        s.asNobody = true;
        s.way = Way::kInPlace;
        s.backup = BackupKind::kMissing;
        s.log = {kBackupFailedAccess};
    }
    {
        FileSetup& s = add("an owner the host cannot give", kData, [=] {
            ASSERT_EQ(chmod(here.c_str(), 0755), 0);
            ASSERT_EQ(chmod("psdata", 0777), 0);
            writeFile(kData, found, 0646);
        });
        s.asNobody = true;
        s.way = Way::kInPlace;
        s.backupMode = 0600;  // a copy it cannot give root's owner keeps to its own
    }
    add("a symbolic link to a file in another folder", "vol/stats.ini", [=] {
        writeFile("vol/stats.ini", found, 0640);
        ASSERT_EQ(symlink((here + "/vol/stats.ini").c_str(), kData), 0);
    });
    {
        FileSetup& s = add("a symbolic link to a file not made yet", "vol/stats.ini",
                       [] { ASSERT_EQ(symlink("../vol/stats.ini", kData), 0); });
        s.way = Way::kCreated;
        s.backup = BackupKind::kMissing;
    }
    {
        FileSetup& s = add("two hard links", kData, [=] {
            writeFile(kData, found, 0640, kOtherUser, kOtherGroup);
            ASSERT_EQ(link(kData, "vol/other.ini"), 0);
        });
        s.way = Way::kInPlace;
        s.otherNames = {"vol/other.ini"};
    }
    {
        FileSetup& s = add("a folder in the backup's place", kData, [=] {
            writeFile(kData, found, 0644);
            ASSERT_EQ(mkdir(kBackup, 0755), 0);
            writeFile(std::string(kBackup) + "/kept", "x", 0644);
        });
        s.backup = BackupKind::kFolder;
        s.log = {kBackupFailedFolder};
    }
    {
        FileSetup& s = add("no room for a second copy, the text no longer", kData,
                       [=] { writeFile(kData, found, 0644); });
        s.grows = false;
        s.room = 0;
        s.way = Way::kInPlace;
        s.backup = BackupKind::kMissing;
        s.log = {kBackupFailedSpace, kNoJournalSpace};  // once, though three events save
    }
    {
        FileSetup& s = add("no room for a second copy, the text longer", kData,
                       [=] { writeFile(kData, found, 0644); });
        s.room = 0;
        s.saved = false;
        s.backup = BackupKind::kMissing;
        s.log = {kBackupFailedSpace, kSaveFailedSpace, kSavedAgain};
        s.midRun = [] { growthBudget = -1; };  // room again
    }
    {
        FileSetup& s = add("stray links at the temporary names", kData, [=] {
            writeFile(kData, found, 0644);
            writeFile("vol/victim", "victim\n", 0644);
            ASSERT_EQ(symlink("../vol/victim", "psdata/morvelt.ini.tmp"), 0);
            ASSERT_EQ(symlink("../vol/victim", "psdata/morvelt.ini.bak.tmp"), 0);
        });
        s.untouched = {{"vol/victim", "victim\n"}};
    }
    const Attributes aclAndNote = {{"system.posix_acl_access", aclGrantingNobodyRead()}, {"user.note", "kept"}};
    {
        FileSetup& s = add("an access control list and a user attribute", kData, [=] {
            writeFile(kData, found, 0640);
            ASSERT_TRUE(setAttributes(kData, aclAndNote));
        });
        s.attributes = aclAndNote;
        s.backupAttributes = aclAndNote;
    }
    {
        FileSetup& s = add("an access control list on two hard links: the backup a copy", kData, [=] {
            writeFile(kData, found, 0640, kOtherUser, kOtherGroup);
            ASSERT_TRUE(setAttributes(kData, aclAndNote));
            ASSERT_EQ(link(kData, "vol/other.ini"), 0);
        });
        s.way = Way::kInPlace;
        s.otherNames = {"vol/other.ini"};
        s.attributes = aclAndNote;
        s.backupAttributes = aclAndNote;
    }
    {
        // Only a privileged process sets security.*: the host cannot give it to a new file.
        const Attributes label = {{"security.morvelt", "label"}, {"user.note", "kept"}};
        FileSetup& s = add("an attribute the host cannot give", kData, [=] {
            ASSERT_EQ(chmod(here.c_str(), 0755), 0);
            ASSERT_EQ(chown("psdata", kNobody, kNobody), 0);
            writeFile(kData, found, 0644, kNobody, kNobody);
            ASSERT_TRUE(setAttributes(kData, label));
        });
        s.asNobody = true;
        s.way = Way::kInPlace;
        s.attributes = label;
        s.backupAttributes = {{"user.note", "kept"}};  // what a copy could be given
    }
    return list;
}

// Whether the file system of the working folder takes an access control list and user and
// security attributes.
bool attributesSupported() {
    writeFile("psdata/probe", "", 0640);
    bool supported = setAttributes("psdata/probe", {{"system.posix_acl_access", aclGrantingNobodyRead()},
                                                    {"user.note", "kept"},
                                                    {"security.morvelt", "label"}});
    unlink("psdata/probe");
    return supported;
}

TEST_F(FileSetupTest, SavesKeepTheFileWhatItWas) {
    const std::string here = dir.path();
    const bool attributes = attributesSupported();
    for (const FileSetup& c : setups(here, found)) {
        SCOPED_TRACE(c.what);
        if (!c.attributes.empty() && !attributes) {
            printf("[  SKIPPED ] %s: this file system refuses access control lists or extended attributes\n", c.what);
            continue;
        }
        c.prepare();
        if (HasFatalFailure()) return;
        struct stat before{}, dataBefore{};
        bool existed = lstat(c.target, &before) == 0;
        ASSERT_EQ(lstat(kData, &dataBefore), 0);
        int held = open(c.target, O_RDONLY);  // keeps the old inode's number from being reused

        Seen seen = runChild(c);
        checkSetup(c, seen, found, existed, before, dataBefore);
        struct stat dataAfter;
        ASSERT_EQ(lstat(kData, &dataAfter), 0);
        if (S_ISLNK(dataBefore.st_mode)) EXPECT_EQ(dataAfter.st_ino, dataBefore.st_ino) << "the link was replaced";
        for (const auto& [path, text] : c.untouched) EXPECT_EQ(readFile(path), text) << "written through a link";
        if (held >= 0) close(held);

        // Back to an empty working folder for the next set-up.
        ASSERT_EQ(system("rm -rf psdata vol && mkdir psdata vol"), 0);
        ASSERT_EQ(chmod(here.c_str(), 0700), 0);
    }
}

// A file that cannot be read at start-up is left alone for the whole run, even once it can be
// read again; the restart that can read it goes on as usual. The child keeps root as its saved
// user, to mend the file in the middle of the run.
TEST_F(FileSetupTest, UnreadableFileIsLeftAloneUntilARestartCanReadIt) {
    writeFile(kData, found, 0600);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod("psdata", 0777), 0);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        std::string failures;
        auto check = [&failures](bool ok, const char* what) {
            if (!ok) failures += std::string(what) + "\n";
        };
        // Whether the file is as found, with nothing beside it; looked at as root.
        auto untouched = [&] {
            bool root = seteuid(0) == 0;
            bool same = readFile(kData) == found && temporaries("psdata").empty() && access(kBackup, F_OK) != 0;
            return root && seteuid(kNobody) == 0 && same;
        };
        check(setegid(kNobody) == 0 && seteuid(kNobody) == 0, "acting as nobody");
        start({"score"});
        host.addRoom(7, std::vector<std::string>{"SetStats-score"});
        void* user = host.addUser(1002, 0);
        host.logon(user, 7);
        host.changeSpot(user, 7, 1, 6);
        host.advance(600);
        check(untouched(), "the file was touched by the timer events");
        check(host.timerRequests().size() == 4 && !host.timerRequests().back().fired, "the timer is armed");
        check(seteuid(0) == 0 && chown(kData, kNobody, kNobody) == 0 && seteuid(kNobody) == 0, "mending the file");
        host.advance(300);
        host.plugin().shutdown(nullptr);
        check(untouched(), "the file was touched once it could be read again");
        check(host.log().size() == 2 &&
                  host.log()[1] == "[Morvelt] psdata/morvelt.ini cannot be read: Permission denied. It is left as it "
                                   "is, and nothing is saved until the host is restarted with the file readable.",
              "the log of the first run");

        std::string error;
        // The restart: the host's shutdown finds the plug-in stopped. The library is read again as
        // root, since the build folder may be closed to nobody; the plug-in starts as nobody.
        host.shutdown();
        const std::string library = host.plugin().path();
        check(seteuid(0) == 0 && host.load(library, &error) && seteuid(kNobody) == 0, "reloading");
        start({"score"});
        check(host.plugin().recordCount() == 1, "the restart read the file");
        host.advance(0);
        check(readFile(kData) == tableview::render(tableview::copyOf(host)), "the restart's first event saved");
        check(readFile(kBackup) == found, "the backup holds the file found");
        check(host.log().size() == 3, "the restart logged only its start-up line");
        send(ends[1], failures);
        _exit(0);
    }
    close(ends[1]);
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(ends[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with status " << status;
    size_t at = 0;
    std::string failures;
    ASSERT_TRUE(receive(all, at, failures));
    EXPECT_EQ(failures, "");
}

}  // namespace
