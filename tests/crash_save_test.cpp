// A crash during a save: a child process rewrites a large data file over and over, each time
// with new values, and is killed with SIGKILL at a random moment. After every kill the file
// must be one of the files the child meant to write, whole: never a mix, never cut short.
// MORVELT_CRASH_KILLS sets the number of kills, MORVELT_CRASH_SEED replays the moments.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>

#include "tests/plugin_fixture.h"
#include "tests/table_view.h"

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
