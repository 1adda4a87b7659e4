// Start-up: the log line and the variable table built from the plug-in's arguments.
#include <string.h>

#include "tests/plugin_fixture.h"

namespace {

using StartupTest = PluginTest;

TEST_F(StartupTest, LogsOneLineWithTheVersion) {
    start({"score"});
    ASSERT_EQ(host.log().size(), 1u);
    EXPECT_EQ(host.log()[0].rfind("[Morvelt] v0.1 Build 2", 0), 0u) << host.log()[0];
}

TEST_F(StartupTest, ReturnsTheHandleAndAsksForATimerAtOnce) {
    void* result = host.start({"morvelt", "score"});
    EXPECT_EQ(result, host.handle());
    ASSERT_EQ(host.timerRequests().size(), 1u);
    EXPECT_EQ(host.timerRequests()[0].handle, host.handle());
    EXPECT_EQ(host.timerRequests()[0].zero, 0);
    EXPECT_EQ(host.timerRequests()[0].delay, 0);
}

TEST_F(StartupTest, LastArgumentGetsIndexOne) {
    start({"gold", "lives", "score"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"score", "lives", "gold"}));
}

TEST_F(StartupTest, DuplicateIsRegisteredOnceAtItsLaterPosition) {
    start({"gold", "score", "gold"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"gold", "score"}));
}

TEST_F(StartupTest, LongNamesAreCutToFifteenCharacters) {
    // The full name never matches the cut entry, so a second copy adds a second cut entry.
    start({"abcdefghijklmnopq", "abcdefghijklmnopq", "abcdefghijklmnop"});
    EXPECT_EQ(variableNames(),
              (std::vector<std::string>{"abcdefghijklmno", "abcdefghijklmno", "abcdefghijklmno"}));
    for (uint32_t i = 0; i < host.plugin().variableCount(); ++i)
        EXPECT_EQ(host.plugin().variables()[i].name[15], '\0');
}

TEST_F(StartupTest, PercentSignsInNamesAreKeptAndNotFormatted) {
    start({"%s%n%d"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"%s%n%d"}));
    ASSERT_EQ(host.log().size(), 1u);
}

TEST_F(StartupTest, NamesDifferingInCaseAreDistinct) {
    start({"Score", "score"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"score", "Score"}));
}

TEST_F(StartupTest, ArgumentCountOfOneOrLessAddsNoVariable) {
    for (int32_t count : {1, 0, -3}) {
        SCOPED_TRACE(count);
        char name[] = "morvelt";
        char score[] = "score";
        char* arguments[] = {name, score, nullptr};
        EXPECT_EQ(host.startRaw(count, arguments), host.handle());
        EXPECT_EQ(host.plugin().variableCount(), 0u);
        EXPECT_EQ(host.plugin().variables(), nullptr);
        host.shutdown();
    }
}

TEST_F(StartupTest, NullArgumentListOrArgumentAddsNothingFromIt) {
    EXPECT_EQ(host.startRaw(3, nullptr), host.handle());
    EXPECT_EQ(host.plugin().variableCount(), 0u);
    host.shutdown();

    char name[] = "morvelt";
    char score[] = "score";
    char* arguments[] = {name, nullptr, score, nullptr};
    host.startRaw(3, arguments);
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"score"}));
}

TEST_F(StartupTest, EmptyNameIsAVariableLikeAnyOther) {
    start({"", "score"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"score", ""}));
}

TEST_F(StartupTest, TableThatCannotGrowStaysIntactAndSkipsTheName) {
    if (!hostsim::Host::reallocFaultsSupported()) GTEST_SKIP() << "realloc faults need the plain build";
    hostsim::Host::failReallocAfter(1);  // "lives" gets in, "gold" does not, "score" does
    start({"score", "gold", "lives"});
    EXPECT_EQ(variableNames(), (std::vector<std::string>{"lives", "score"}));
}

}  // namespace
