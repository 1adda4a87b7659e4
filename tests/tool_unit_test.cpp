// The simulator tool's own pieces: dates and durations as scripts and reports write them, and
// the rules of the session script reader. Whole runs of the tool are in fixtures/sim.
#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim/host.h"
#include "sim/work_dir.h"
#include "tests/journal_file.h"
#include "tools/common/clock_text.h"
#include "tools/common/run_folder.h"
#include "tools/data/datafile_report.h"
#include "tools/data/edit.h"
#include "tools/data/export.h"
#include "tools/sim/script.h"

namespace {

using namespace simtool;

TEST(ClockText, DatesReadAndWrittenAgree) {
    struct Case {
        const char* text;
        uint64_t seconds;
        const char* written;
    };
    const Case cases[] = {
        {"1970-01-01", 0, "1970-01-01 00:00:00"},
        {"2026-01-01", 1767225600, "2026-01-01 00:00:00"},
        {"2000-02-29", 951782400, "2000-02-29 00:00:00"},
        {"2024-02-29 12:00:00", 1709208000, "2024-02-29 12:00:00"},
        {"2026-03-01T12:00:00Z", 1772366400, "2026-03-01 12:00:00"},
        {"2038-01-19T03:14:08", 2147483648u, "2038-01-19 03:14:08"},
        {"2105-12-31 23:59:59", 4291747199u, "2105-12-31 23:59:59"},
        {"1767225600", 1767225600, "2026-01-01 00:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t seconds = 1;
        ASSERT_TRUE(parseDate(c.text, &seconds));
        EXPECT_EQ(seconds, c.seconds);
        EXPECT_EQ(formatDate(seconds), c.written);
    }
}

TEST(ClockText, ImpossibleOrMalformedDatesAreRefused) {
    for (const char* text : {"2026-02-29", "1900-02-29", "2025-13-01", "2025-00-10", "2025-04-31", "1969-12-31",
                             "2106-01-01", "2026-1-1", "2026-01-01 24:00:00", "2026-01-01 12:60:00",
                             "2026-01-01X12:00:00", "2026-01-01 12:00", "", "12345678901", "4291747200", "-5"}) {
        uint64_t seconds = 7;
        EXPECT_FALSE(parseDate(text, &seconds)) << text;
        EXPECT_EQ(seconds, 7u) << text;
    }
}

TEST(ClockText, Durations) {
    struct Case {
        const char* text;
        uint64_t seconds;
    };
    for (const Case& c : {Case{"0", 0}, Case{"300", 300}, Case{"90s", 90}, Case{"5m", 300}, Case{"2h", 7200},
                          Case{"6d", 518400}}) {
        uint64_t seconds = 1;
        EXPECT_TRUE(parseDuration(c.text, &seconds)) << c.text;
        EXPECT_EQ(seconds, c.seconds) << c.text;
    }
    for (const char* text : {"", "s", "5w", "-5", "1.5h", "5 m", "9999999999"}) {
        uint64_t seconds = 0;
        EXPECT_FALSE(parseDuration(text, &seconds)) << text;
    }
}

TEST(ClockText, AgesShowTheirLargestUnitFirst) {
    EXPECT_EQ(formatAge(0), "0s");
    EXPECT_EQ(formatAge(250), "4m 10s");
    EXPECT_EQ(formatAge(7500), "2h 05m 00s");
    EXPECT_EQ(formatAge(432001), "5d 00h 00m 01s");
}

// ---- Session scripts ------------------------------------------------------------------------

constexpr char kHead[] = "variables score\nroom lobby SetStats-score GetStats-score\nuser ann 1 2000\n";

std::string parseError(const std::string& text) {
    Script script;
    std::string error;
    if (parseScriptText("s.script", text, &script, &error)) return "";
    return error;
}

TEST(ScriptReader, ReadsDeclarationsAndEventsWithTheirLines) {
    Script script;
    std::string error;
    ASSERT_TRUE(parseScriptText("dir/s.script",
                                "# a comment\n"
                                "variables gold score\n"
                                "\n"
                                "room \"the hall\" \"GetStats-score\" Door\n"
                                "user ann 0x1234 22136\n"
                                "clock \"2026-03-01 12:00:00\"\n"
                                "start\n"
                                "  enter ann \"the hall\"  \n"
                                "say Ann is in   the hall.\n"
                                "expect spot \"the hall\" Door -3\n",
                                &script, &error))
        << error;
    EXPECT_EQ(script.variables, (std::vector<std::string>{"gold", "score"}));
    ASSERT_EQ(script.rooms.size(), 1u);
    EXPECT_EQ(script.rooms[0].name, "the hall");
    EXPECT_EQ(script.rooms[0].id, 1);
    EXPECT_EQ(script.rooms[0].spots, (std::vector<std::string>{"GetStats-score", "Door"}));
    ASSERT_EQ(script.users.size(), 1u);
    EXPECT_EQ(script.users[0].wordA, 0x1234u);
    EXPECT_EQ(script.users[0].wordB, 22136u);
    EXPECT_TRUE(script.clockSet);
    EXPECT_EQ(script.clock, 1772366400u);
    ASSERT_EQ(script.steps.size(), 4u);
    EXPECT_EQ(script.steps[0].kind, StepKind::kStart);
    EXPECT_EQ(script.steps[0].line, 7);
    EXPECT_EQ(script.steps[1].kind, StepKind::kEnter);
    EXPECT_EQ(script.steps[1].text, "enter ann \"the hall\"");
    EXPECT_EQ(script.steps[2].word, "Ann is in   the hall.");
    EXPECT_EQ(script.steps[3].kind, StepKind::kExpectSpot);
    EXPECT_EQ(script.steps[3].spot, 1);
    EXPECT_EQ(script.steps[3].value, -3);
}

TEST(ScriptReader, ErrorsNameTheLineAndWhatWasExpected) {
    struct Case {
        std::string text;
        std::string error;
    };
    const std::string head = kHead;
    const Case cases[] = {
        {head + "start\nclock 2026-01-01\n", "s.script:5: 'clock' must come before the first 'start'"},
        {head + "start\nvariables gold\n", "s.script:5: 'variables' must come before the first 'start'"},
        {head + "start\nstart\n", "s.script:5: the plug-in is already running: expected 'shutdown' before 'start'"},
        {head + "start\nshutdown\nlogon ann lobby\n",
         "s.script:6: the plug-in is not running here: expected 'start' before 'logon'"},
        {head + "timer\n", "s.script:4: the plug-in is not running here: expected 'start' before 'timer'"},
        {head + "start\nexpect passed\n", "s.script:5: expected a 'logon', 'enter' or 'set' before 'expect passed'"},
        {head + "room lobby Door\n", "s.script:4: room 'lobby' is declared twice"},
        {head + "user ann 5 6\n", "s.script:4: user 'ann' is declared twice"},
        {head + "user bob 1\n", "s.script:4: expected 'user NAME WORD_A WORD_B', got 'user bob 1'"},
        {head + "user bob 1 4294967296\n",
         "s.script:4: expected identity words from 0 to 4294967295 (or 0x hex), got '1 4294967296'"},
        {head + "user bob -1 2\n", "s.script:4: expected identity words from 0 to 4294967295 (or 0x hex), got '-1 2'"},
        {head + "room \"hall Door\n", "s.script:4: a closing '\"' is missing"},
        {head + "room hall " + std::string(255, 'x') + "\n",
         "s.script:4: spot 1 has a name longer than 254 characters, more than the host stores"},
        {head + "advance 5w\n", "s.script:4: expected a duration such as 300, 90s, 5m, 2h or 6d, got '5w'"},
        {head + "clock 2026-02-30\n",
         "s.script:4: expected a time such as 2026-01-01, \"2026-01-01 12:30:00\" or 1767225600, got '2026-02-30'"},
        {head + "start\nset ann lobby SetStats-score -32769\n",
         "s.script:5: expected a number from -32768 to 32767, got '-32769'"},
        {head + "start\nset ann lobby SetStats-score 1 2\n",
         "s.script:5: expected 'set USER ROOM SPOT STATE', got 'set ann lobby SetStats-score 1 2'"},
        {head + "expect value ann score\n",
         "s.script:4: expected 'expect value USER VARIABLE N', got 'expect value ann score'"},
        {head + "expect nothing\n",
         "s.script:4: expected 'expect' followed by spot, value, no-record, records, passed or dropped; got 'expect nothing'"},
        {head + "show\n", "s.script:4: expected 'show ROOM | show records | show file', got 'show'"},
        {head + "expect spot lobby Door 1\n",
         "s.script:4: unknown spot 'Door' in room 'lobby': expected one of its spots (SetStats-score, GetStats-score)"},
        {"start\nlogon ann lobby\n",
         "s.script:2: unknown user 'ann': expected a user declared above with 'user NAME WORD_A WORD_B' (none is)"},
        {"datafile\n", "s.script:1: expected 'datafile PATH', got 'datafile'"},
    };
    for (const Case& c : cases) EXPECT_EQ(parseError(c.text), c.error) << c.text;
}

TEST(ScriptReader, ADataFileIsLookedForBesideTheScript) {
    EXPECT_EQ(parseError("datafile nowhere.ini\n"),
              "s.script:1: expected a readable data file: nowhere.ini: cannot read the file: No such file or directory");
    Script script;
    std::string error;
    EXPECT_FALSE(parseScriptText("/no/such/dir/s.script", "datafile x.ini\n", &script, &error));
    EXPECT_EQ(error.find("/no/such/dir/s.script:1: expected a readable data file: /no/such/dir/x.ini: "), 0u) << error;
}

// ---- Files the tool reads and what it writes ---------------------------------------------------

TEST(ToolFiles, AFileLargerThanTheLimitIsRefusedWithoutReadingIt) {
    char path[] = "/tmp/morvelt-big-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{5} << 30), 0);  // 5 GiB, sparse
    close(fd);
    std::string content, error;
    EXPECT_FALSE(readFile(path, &content, &error));
    EXPECT_EQ(error, std::string(path) + ": 5368709120 bytes, more than the 256 MiB the tool reads");
    EXPECT_TRUE(content.empty());
    unlink(path);
}

TEST(ToolFiles, CsvFieldsAreQuotedOnlyWhenTheyMustBe) {
    struct Case {
        const char* text;
        const char* field;
    };
    for (const Case& c : {Case{"score", "score"}, Case{"", ""}, Case{"a,b", "\"a,b\""}, Case{"q\"t", "\"q\"\"t\""},
                          Case{"two\nlines", "\"two\nlines\""}, Case{"cr\r", "\"cr\r\""}, Case{"a b", "a b"}})
        EXPECT_EQ(csvField(c.text), c.field) << c.text;
}

// JSON member names: well-formed UTF-8 as it is, every other byte as [HH], so that names that
// differ never come out as the same member.
TEST(ToolFiles, JsonNamesKeepNamesThatDifferApart) {
    struct Case {
        const char* name;
        const char* member;
    };
    for (const Case& c : {Case{"score", "score"}, Case{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
                          Case{"\xF0\x9F\x8E\xB2", "\xF0\x9F\x8E\xB2"}, Case{"g\xFFld", "g[FF]ld"},
                          Case{"g\xFEld", "g[FE]ld"}, Case{"\xC0\x80", "[C0][80]"}, Case{"\xED\xA0\x80", "[ED][A0][80]"},
                          Case{"\xF4\x90\x80\x80", "[F4][90][80][80]"}, Case{"cut\xE2\x82", "cut[E2][82]"}}) {
        LoadedFile loaded;
        loaded.variables = {c.name};
        loaded.records = {{1001, 1767225600, {7}}};
        std::string json = formatExport(loaded, ExportFormat::kJson);
        EXPECT_NE(json.find("\"values\": {\n      \"" + std::string(c.member) + "\": 7\n"), std::string::npos) << json;
    }
}

// The reader takes stamp 0 as the present: a WHEN that would write it is refused, as a bad one is.
TEST(EditActions, AStampOfZeroIsRefused) {
    struct Case {
        const char* when;
        bool refused;
    };
    for (const Case& c : {Case{"0", true}, Case{"1970-01-01", true}, Case{"1970-01-01 00:00:00", true},
                          Case{"1", false}, Case{"1970-01-01 00:00:01", false}, Case{"now", false}}) {
        std::vector<EditAction> actions;
        std::string error;
        EXPECT_EQ(parseEditActions({"stamp", "EIB", c.when}, &actions, &error), !c.refused) << c.when;
        if (c.refused) {
            EXPECT_NE(error.find("is 0, which the plug-in's reader takes as the present"), std::string::npos) << error;
            EXPECT_NE(error.find("drop KEY removes a user"), std::string::npos) << error;
        }
    }
}

// A journal of a save cut short is replayed over the file at the next start: inspect shows the
// file as it is, and says so.
TEST(ToolFiles, InspectSaysAJournalIsPending) {
    hostsim::Host host;  // the store built into the tool takes its blocks from the current host
    hostsim::WorkDir dir;
    ASSERT_TRUE(dir.write("psdata/morvelt.ini", "[EIB:1767225600]\nscore=1\n"));
    ASSERT_TRUE(dir.write("psdata/morvelt.ini.journal",
                          journalfile::journalFor("psdata/morvelt.ini", "[EIB:1767225600]\nscore=2\n")));
    ASSERT_EQ(chmod("psdata/morvelt.ini.journal", 0600), 0);
    const std::string journal = journalfile::absolute("psdata/morvelt.ini.journal");
    simtool::LoadRequest request{dir.path() + "/psdata/morvelt.ini", {"score"}, 1767225600};
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    std::string error;
    EXPECT_TRUE(simtool::inspectDataFile(request, out, &error)) << error;
    fclose(out);
    std::string report(text, size);
    free(text);
    EXPECT_NE(report.find("\njournal pending: " + journal + ", from a save cut short; the next start of the host "
                          "writes its text over the file, so the file shown here is not what the plug-in will read\n"),
              std::string::npos)
        << report;
}

}  // namespace
