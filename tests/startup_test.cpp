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

// Names are compared after the cut to 15 characters; names the data file could not carry are
// refused, each with one log line naming it as given, control characters escaped.
struct NameCase {
    const char* what;
    std::vector<std::string> arguments;  // after the plug-in's name
    std::vector<std::string> table;      // the variable table, index 1 first
    std::vector<std::string> refused;    // as the log line shows them, in the order refused
};

const NameCase kNameCases[] = {
    {"a long name given twice", {"abcdefghijklmnopq", "abcdefghijklmnopq"}, {"abcdefghijklmno"}, {}},
    {"names alike in their first 15 characters", {"abcdefghijklmnoX", "abcdefghijklmnoY", "abcdefghijklmno"},
     {"abcdefghijklmno"}, {}},
    {"a cut name and a shorter one", {"abcdefghijklmnop", "abcdefghijklmn"}, {"abcdefghijklmn", "abcdefghijklmno"}, {}},
    {"an equals sign", {"score", "a=b"}, {"score"}, {"a=b"}},
    {"brackets, together or alone", {"[x]", "x]", "[y", "lives"}, {"lives"}, {"[y", "x]", "[x]"}},
    {"line feed and carriage return", {"a\nb", "c\rd"}, {}, {"c\\rd", "a\\nb"}},
    {"other control characters shown escaped", {"t\tb\x01=\\"}, {}, {"t\\tb\\x01=\\\\"}},
    {"a refused character past the cut", {"abcdefghijklmnopq=", "gold"}, {"gold"}, {"abcdefghijklmnopq="}},
};

TEST_F(StartupTest, VariableNamesComparedAfterTheCutAndRefusedWhereTheFileCannotCarryThem) {
    for (const NameCase& c : kNameCases) {
        SCOPED_TRACE(c.what);
        size_t logged = host.log().size() + 1;  // up to the start-up line
        start(c.arguments);
        EXPECT_EQ(variableNames(), c.table);
        std::vector<std::string> expectedLog;
        for (const std::string& name : c.refused)
            expectedLog.push_back("[Morvelt] variable name \"" + name +
                                  "\" refused: a name holding '=', '[', ']', a line feed or a carriage return "
                                  "cannot be kept in psdata/morvelt.ini.");
        EXPECT_EQ(std::vector<std::string>(host.log().begin() + static_cast<long>(logged), host.log().end()),
                  expectedLog);
        for (uint32_t i = 0; i < host.plugin().variableCount(); ++i)
            EXPECT_EQ(host.plugin().variables()[i].name[15], '\0');
        host.shutdown();
    }
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

TEST_F(StartupTest, VariableLeftOutForWantOfMemoryKeepsTheDataFileAsItWas) {
    if (!hostsim::Host::reallocFaultsSupported()) GTEST_SKIP() << "realloc faults need the plain build";
    const std::string found = "[EIB:1767225600]\nlives=1\ngold=2\nscore=3\n";
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", found));
    hostsim::Host::failReallocAfter(1);  // "gold" is left out
    start({"score", "gold", "lives"});
    ASSERT_EQ(variableNames(), (std::vector<std::string>{"lives", "score"}));
    host.advance(0);
    host.advance(300);
    host.shutdown();
    EXPECT_EQ(dir.read("psdata/morvelt.ini"), found) << "gold's values must not be dropped from the file";
    EXPECT_FALSE(dir.exists("psdata/morvelt.ini.bak"));
    ASSERT_EQ(host.log().size(), 2u);
    EXPECT_NE(host.log()[1].find("psdata/morvelt.ini cannot be read"), std::string::npos) << host.log()[1];
}

}  // namespace
