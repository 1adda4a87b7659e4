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
// refused, each with one log line naming it as given, control characters escaped. After the
// refusals, each distinct argument that is cut gets one line naming it as given and as kept,
// saying where another argument is kept as the same variable.
struct NameCase {
    const char* what;
    std::vector<std::string> arguments;  // after the plug-in's name
    std::vector<std::string> table;      // the variable table, index 1 first
    std::vector<std::string> refused;    // as the log line shows them, in the order refused
    std::vector<std::string> cut;        // the cut lines, in order (cutLine, sharedCutLine)
};

std::string cutLine(const std::string& given, const std::string& kept) {
    return "[Morvelt] variable name \"" + given + "\" is kept as \"" + kept +
           "\" (names are cut to 15 characters). Spots must use the kept name.";
}

std::string sharedCutLine(const std::string& given, const std::string& kept) {
    return "[Morvelt] variable name \"" + given + "\" is kept as \"" + kept +
           "\" (names are cut to 15 characters), as is another argument: they are one variable. Spots must use the "
           "kept name.";
}

const NameCase kNameCases[] = {
    {"a long name given twice", {"abcdefghijklmnopq", "abcdefghijklmnopq"}, {"abcdefghijklmno"}, {},
     {cutLine("abcdefghijklmnopq", "abcdefghijklmno")}},
    {"names alike in their first 15 characters", {"abcdefghijklmnoX", "abcdefghijklmnoY", "abcdefghijklmno"},
     {"abcdefghijklmno"}, {},
     {sharedCutLine("abcdefghijklmnoY", "abcdefghijklmno"), sharedCutLine("abcdefghijklmnoX", "abcdefghijklmno")}},
    {"a cut name and a shorter one", {"abcdefghijklmnop", "abcdefghijklmn"}, {"abcdefghijklmn", "abcdefghijklmno"}, {},
     {cutLine("abcdefghijklmnop", "abcdefghijklmno")}},
    {"a name of exactly 15 characters", {"abcdefghijklmno"}, {"abcdefghijklmno"}, {}, {}},
    {"a cut name with a control character", {"abcdefghijklmn\tpq"}, {"abcdefghijklmn\t"}, {},
     {cutLine("abcdefghijklmn\\tpq", "abcdefghijklmn\\t")}},
    {"percent signs in a cut name", {"%s%n%d%s%n%d%s%n%d"}, {"%s%n%d%s%n%d%s%"}, {},
     {cutLine("%s%n%d%s%n%d%s%n%d", "%s%n%d%s%n%d%s%")}},
    {"an equals sign", {"score", "a=b"}, {"score"}, {"a=b"}, {}},
    {"brackets, together or alone", {"[x]", "x]", "[y", "lives"}, {"lives"}, {"[y", "x]", "[x]"}, {}},
    {"line feed and carriage return", {"a\nb", "c\rd"}, {}, {"c\\rd", "a\\nb"}, {}},
    {"other control characters shown escaped", {"t\tb\x01=\\"}, {}, {"t\\tb\\x01=\\\\"}, {}},
    {"a refused character past the cut", {"abcdefghijklmnopq=", "gold"}, {"gold"}, {"abcdefghijklmnopq="}, {}},
    {"a refused name alike a cut one", {"abcdefghijklmnopq=", "abcdefghijklmnopr"}, {"abcdefghijklmno"},
     {"abcdefghijklmnopq="}, {cutLine("abcdefghijklmnopr", "abcdefghijklmno")}},
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
        expectedLog.insert(expectedLog.end(), c.cut.begin(), c.cut.end());
        EXPECT_EQ(std::vector<std::string>(host.log().begin() + static_cast<long>(logged), host.log().end()),
                  expectedLog);
        for (uint32_t i = 0; i < host.plugin().variableCount(); ++i)
            EXPECT_EQ(host.plugin().variables()[i].name[15], '\0');
        host.shutdown();
    }
}

// A spot's name must be the kept name exactly: the name as given matches nothing.
TEST_F(StartupTest, SpotsMatchTheKeptNameOnly) {
    start({"experience_points"});
    host.addRoom(1, {"SetStats-experience_poin", "SetStats-experience_points", "GetStats-experience_poin"});
    void* user = host.addUser(1001, 0, 1);
    ASSERT_TRUE(host.changeSpot(user, 1, 2, 5));
    ASSERT_EQ(host.plugin().recordCount(), 1u);
    EXPECT_EQ(host.plugin().records()[0].values[0], 0) << "the name as given stored a value";
    ASSERT_TRUE(host.changeSpot(user, 1, 1, 6));
    EXPECT_EQ(host.plugin().records()[0].values[0], 6);
    ASSERT_TRUE(host.enterRoom(user, 1));
    EXPECT_EQ(host.spotState(1, 3), 6);
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
