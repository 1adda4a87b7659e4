// The journal of an in-place save, as start-up meets it: a complete, trusted journal for the data
// file is replayed into it before it is read (and so before it is kept as the backup), a partial
// one is discarded, and a replay that fails keeps the journal and suspends the run's saves. A
// journal is how another user could plant text into the file, so each rule of trust is tried
// with a planted journal that breaks it alone: none of them is replayed.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/journal_file.h"
#include "tests/plugin_fixture.h"
#include "tests/stats_state.h"

// ---- Failing writes --------------------------------------------------------------------------
namespace {
bool writesFail = false;  // every write to a regular file fails with EIO
}  // namespace

extern "C" __attribute__((visibility("default"))) ssize_t write(int fd, const void* data, size_t size) {
    struct stat status;
    if (writesFail && fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        errno = EIO;
        return -1;
    }
    return syscall(SYS_write, fd, data, size);
}

namespace {

constexpr char kData[] = "psdata/morvelt.ini";
constexpr char kInFolder[] = "psdata/morvelt.ini.journal";
constexpr uid_t kOtherUser = 12345;

void writeFile(const std::string& path, const std::string& text, mode_t mode, uid_t owner = 0) {
    ::unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_EQ(fchown(fd, owner, owner), 0);
    ASSERT_EQ(fchmod(fd, mode), 0);
    close(fd);
}

class JournalTest : public PluginTest {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "planted journals need root: files of another user";
        PluginTest::SetUp();
        tmp = dir.path() + "/tmp";
        ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);
        old = header("EIB", static_cast<uint32_t>(host.now())) + "score=5\n";
        text = header("EIB", static_cast<uint32_t>(host.now())) + "score=9\n";
    }
    void TearDown() override {
        writesFail = false;
        unsetenv("TMPDIR");
    }

    // The data file holding `old`, with no journal anywhere, and the private folder made.
    void reset() {
        if (host.running()) host.shutdown();  // its last save goes to the file of before
        ASSERT_EQ(system("rm -rf psdata tmp && mkdir -m 0755 psdata && mkdir -m 01777 tmp"), 0);
        writeFile(kData, old, 0644);
        struct stat status;
        ASSERT_EQ(stat(kData, &status), 0);
        privateFolder = tmp + "/morvelt-0";
        privateJournal = privateFolder + "/" + std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino) +
                         ".journal";
        ASSERT_EQ(mkdir(privateFolder.c_str(), 0700), 0);
    }

    // Starts the plug-in afresh; returns the log lines of this start-up after its first.
    std::vector<std::string> startUp() {
        if (host.running()) host.shutdown();
        size_t before = host.log().size();
        start({"score"});
        return std::vector<std::string>(host.log().begin() + static_cast<long>(before) + 1, host.log().end());
    }

    int16_t score() { return host.plugin().recordCount() == 1 ? host.plugin().records()[0].values[0] : -1; }

  public:  // for the cases' set-ups
    std::string tmp, old, text, privateFolder, privateJournal;
};

// One planted journal: where, and what is wrong with it.
struct Planted {
    const char* what;
    bool replayed;
    std::function<void(JournalTest&)> plant;
};

TEST_F(JournalTest, OnlyACompleteJournalThatPassesEveryRuleIsReplayed) {
    auto journal = [](JournalTest& t) { return journalfile::journalFor(kData, t.text); };
    const std::vector<Planted> cases = {
        {"in the data file's folder", true, [&](JournalTest& t) { writeFile(kInFolder, journal(t), 0600); }},
        {"in the private folder", true, [&](JournalTest& t) { writeFile(t.privateJournal, journal(t), 0600); }},
        {"the private folder is another user's", false,
         [&](JournalTest& t) {
             ASSERT_EQ(chown(t.privateFolder.c_str(), kOtherUser, kOtherUser), 0);
             writeFile(t.privateJournal, journal(t), 0600);
         }},
        {"the private folder has mode 0755", false,
         [&](JournalTest& t) {
             ASSERT_EQ(chmod(t.privateFolder.c_str(), 0755), 0);
             writeFile(t.privateJournal, journal(t), 0600);
         }},
        {"the private folder is a symbolic link", false,
         [&](JournalTest& t) {
             ASSERT_EQ(rename(t.privateFolder.c_str(), (t.tmp + "/elsewhere").c_str()), 0);
             ASSERT_EQ(symlink("elsewhere", t.privateFolder.c_str()), 0);
             writeFile(t.privateJournal, journal(t), 0600);
         }},
        {"the data file's folder is writable by others", false,
         [&](JournalTest& t) {
             ASSERT_EQ(chmod("psdata", 0777), 0);
             writeFile(kInFolder, journal(t), 0600);
         }},
        {"the data file's folder is another user's", false,
         [&](JournalTest& t) {
             ASSERT_EQ(chown("psdata", kOtherUser, kOtherUser), 0);
             writeFile(kInFolder, journal(t), 0600);
         }},
        {"a symbolic link to a trusted journal", false,
         [&](JournalTest& t) {
             writeFile("psdata/real.journal", journal(t), 0600);
             ASSERT_EQ(symlink("real.journal", kInFolder), 0);
         }},
        {"a FIFO", false, [&](JournalTest&) { ASSERT_EQ(mkfifo(kInFolder, 0600), 0); }},
        {"two links", false,
         [&](JournalTest& t) {
             writeFile(kInFolder, journal(t), 0600);
             ASSERT_EQ(link(kInFolder, "psdata/second"), 0);
         }},
        {"another user's", false, [&](JournalTest& t) { writeFile(kInFolder, journal(t), 0600, kOtherUser); }},
        {"mode 0644", false, [&](JournalTest& t) { writeFile(kInFolder, journal(t), 0644); }},
        {"another path", false,
         [&](JournalTest& t) {
             struct stat s;
             ASSERT_EQ(stat(kData, &s), 0);
             writeFile(kInFolder, journalfile::journal(journalfile::absolute("psdata/other.ini"), s.st_dev, s.st_ino, t.text),
                       0600);
         }},
        {"another inode", false,
         [&](JournalTest& t) {
             struct stat s;
             ASSERT_EQ(stat(kData, &s), 0);
             writeFile(kInFolder, journalfile::journal(journalfile::absolute(kData), s.st_dev, s.st_ino + 1, t.text), 0600);
         }},
        {"another device", false,
         [&](JournalTest& t) {
             struct stat s;
             ASSERT_EQ(stat(kData, &s), 0);
             writeFile(kInFolder, journalfile::journal(journalfile::absolute(kData), s.st_dev + 1, s.st_ino, t.text), 0600);
         }},
    };
    for (const Planted& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        c.plant(*this);
        if (HasFatalFailure()) return;
        std::vector<std::string> log = startUp();
        if (c.replayed) {
            EXPECT_EQ(score(), 9);
            EXPECT_EQ(dir.read(kData), text);
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].rfind("[Morvelt] psdata/morvelt.ini: a save cut short by a crash was finished from its "
                                   "journal /", 0), 0u) << log[0];
            EXPECT_FALSE(dir.exists(kInFolder) || dir.exists(privateJournal.substr(dir.path().size() + 1)));
            host.advance(0);
            EXPECT_EQ(dir.read("psdata/morvelt.ini.bak"), text) << "the backup is not the replayed file";
        } else {
            EXPECT_EQ(score(), 5);
            EXPECT_EQ(dir.read(kData), old);
            EXPECT_EQ(log, std::vector<std::string>{});
            struct stat planted;  // not trusted, so not taken for a partial journal of its own either
            EXPECT_TRUE(lstat(kInFolder, &planted) == 0 || lstat(privateJournal.c_str(), &planted) == 0)
                << "start-up removed what it does not trust";
        }
    }
}

TEST_F(JournalTest, APartialJournalIsDiscardedAndTheFileReadAsItIs) {
    const std::string whole = journalfile::journalFor(kData, "");  // for the size of a header
    for (size_t cut : {size_t{0}, size_t{10}, whole.size() / 2, size_t{1}}) {
        SCOPED_TRACE("cut to " + std::to_string(cut) + " bytes before its end");
        reset();
        std::string complete = journalfile::journalFor(kData, text);
        std::string partial = complete.substr(0, complete.size() - cut);
        if (cut == 0) partial[partial.size() - 1] ^= 1;  // whole, but the CRC-32 disagrees
        writeFile(privateJournal, partial, 0600);
        EXPECT_EQ(startUp(), std::vector<std::string>{});
        EXPECT_EQ(score(), 5);
        EXPECT_EQ(dir.read(kData), old);
        EXPECT_FALSE(access(privateJournal.c_str(), F_OK) == 0) << "the partial journal is still there";
    }
}

TEST_F(JournalTest, AReplayThatFailsKeepsTheJournalAndSuspendsTheRunsSaves) {
    reset();
    writeFile(kInFolder, journalfile::journalFor(kData, text + "[EIC:1767225600]\nscore=1\n"), 0600);
    writesFail = true;
    std::vector<std::string> log = startUp();
    writesFail = false;
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("[Morvelt] psdata/morvelt.ini: a save cut short by a crash cannot be finished from its "
                           "journal /", 0), 0u) << log[0];
    EXPECT_NE(log[0].find("morvelt.ini.journal: Input/output error. The file may be torn; the journal is kept, and "
                          "nothing is saved until the host is restarted and the journal replayed."),
              std::string::npos) << log[0];
    EXPECT_TRUE(dir.exists(kInFolder));
    EXPECT_EQ(score(), 5) << "the file is read as it is";
    host.advance(600);
    EXPECT_EQ(dir.read(kData), old) << "a save of the run wrote";
    EXPECT_FALSE(dir.exists("psdata/morvelt.ini.bak")) << "a backup of a file that may be torn";
    // The next start-up replays it.
    log = startUp();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(host.plugin().recordCount(), 2u);
    EXPECT_FALSE(dir.exists(kInFolder));
}

}  // namespace
