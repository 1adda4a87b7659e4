// Reading session scripts.
#include "tools/sim/script.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "tools/common/clock_text.h"
#include "tools/common/run_folder.h"

namespace simtool {

const char kScriptFormatHelp[] =
    "A session script holds one declaration or event a line. Blank lines and lines starting\n"
    "with '#' are skipped; a word with blanks in it is written in double quotes.\n"
    "\n"
    "Declarations (variables, datafile and clock before the first 'start'):\n"
    "  variables NAME...              the plug-in's arguments after its own name, in the order of\n"
    "                                 the host's configuration (the last one becomes variable 1)\n"
    "  datafile PATH                  start from a copy of this data file (the file is never written)\n"
    "  clock WHEN                     the host's clock: 2026-01-01, \"2026-01-01 12:30:00\" (UTC) or\n"
    "                                 seconds since 1970; the default is 2026-01-01 00:00:00\n"
    "  room NAME SPOT...              a room with its spots, in order (room ids count from 1)\n"
    "  user NAME WORD_A WORD_B        a user and the two identity words the host holds (decimal or\n"
    "                                 0x hex); the user key is WORD_A xor WORD_B\n"
    "\n"
    "Events:\n"
    "  start                          the host starts the plug-in (and fires the first timer event\n"
    "                                 it asks for, when that is due at once)\n"
    "  logon USER ROOM                USER logs on in ROOM\n"
    "  enter USER ROOM                USER enters ROOM\n"
    "  set USER ROOM SPOT STATE       USER changes the state of SPOT in ROOM to STATE\n"
    "  advance DURATION               the clock moves on (300, 90s, 5m, 2h, 6d), firing the timer\n"
    "                                 events that fall due on the way\n"
    "  timer                          the clock moves to the next timer event asked for; it fires\n"
    "  restart                        shutdown, reload of the library, start with the same arguments\n"
    "  shutdown                       the host stops the plug-in\n"
    "  say TEXT                       a line of explanation in the transcript\n"
    "  show ROOM                      the room's spot states\n"
    "  show records                   the plug-in's records\n"
    "  show file                      the data file\n"
    "\n"
    "Expectations (a failed one is reported and makes the exit status 1):\n"
    "  expect spot ROOM SPOT STATE    the spot shows STATE\n"
    "  expect value USER VARIABLE N   USER's record holds N for VARIABLE\n"
    "  expect no-record USER          the plug-in keeps no record for USER\n"
    "  expect records N               the plug-in keeps N records\n"
    "  expect passed | expect dropped the last message went on to the host, or was dropped\n";

namespace {

constexpr size_t kSpotNameMax = 254;  // the longest spot name the simulated host stores

constexpr char kKeywords[] =
    "variables, datafile, clock, room, user, start, logon, enter, set, advance, timer, restart, shutdown, say, "
    "show, expect";

// Splits a line into words at blanks; "..." keeps blanks in a word. False on an unclosed quote.
bool splitWords(const std::string& line, std::vector<std::string>* words) {
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos) return false;
            word = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            size_t end = line.find_first_of(" \t", i);
            if (end == std::string::npos) end = line.size();
            word = line.substr(i, end - i);
            i = end;
        }
        words->push_back(word);
    }
    return true;
}

std::string trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Reads a whole decimal or 0x-hex number within [low, high].
bool parseNumber(const std::string& text, int64_t low, int64_t high, int64_t* out) {
    if (text.empty()) return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (!hex && (*digits == '-' || *digits == '+')) ++digits;
    if (*digits < '0' || *digits > (hex ? 'f' : '9')) return false;
    errno = 0;
    char* end = nullptr;
    long long value = strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    *out = value;
    return true;
}

std::string quoted(const std::string& word) { return "'" + word + "'"; }

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Parses one script line after another, keeping what the later lines may refer to.
class Parser {
  public:
    Parser(const std::string& path, Script* script) : path_(path), script_(script) { script_->path = path; }

    // Handles one line; false with error() set when it is not understood.
    bool line(int number, const std::string& raw);
    const std::string& error() const { return error_; }

  private:
    bool fail(const std::string& message) {
        error_ = path_ + ":" + std::to_string(line_) + ": " + message;
        return false;
    }
    bool usage(const char* form) {
        return fail(std::string("expected '") + form + "', got '" + text_ + "'");
    }
    bool declaration(const std::vector<std::string>& w);
    bool event(const std::vector<std::string>& w);
    bool show(const std::vector<std::string>& w);
    bool expect(const std::vector<std::string>& w);
    bool beforeStart(const std::string& keyword);
    bool needsRunning(const std::string& keyword);
    bool room(const std::string& name, int* index);
    bool user(const std::string& name, int* index);
    bool spot(int room, const std::string& name, int* position);
    bool state(const std::string& text, int64_t* value);
    void add(StepKind kind, Step step) {
        step.line = line_;
        step.text = text_;
        step.kind = kind;
        script_->steps.push_back(step);
    }

    std::string path_;
    Script* script_;
    int line_ = 0;
    std::string text_;
    std::string error_;
    bool started_ = false;  // a 'start' came before
    bool running_ = false;  // the plug-in runs after the lines so far
    bool messageSent_ = false;
};

bool Parser::line(int number, const std::string& raw) {
    line_ = number;
    text_ = trim(raw);
    if (text_.empty() || text_[0] == '#') return true;
    std::vector<std::string> w;
    if (!splitWords(text_, &w)) return fail("a closing '\"' is missing");
    const std::string& k = w[0];
    if (k == "say") {
        Step step;
        step.word = trim(text_.substr(3));
        add(StepKind::kSay, step);
        return true;
    }
    if (k == "variables" || k == "datafile" || k == "clock" || k == "room" || k == "user") return declaration(w);
    if (k == "show") return show(w);
    if (k == "expect") return expect(w);
    return event(w);
}

bool Parser::beforeStart(const std::string& keyword) {
    if (!started_) return true;
    return fail("'" + keyword + "' must come before the first 'start'");
}

bool Parser::needsRunning(const std::string& keyword) {
    if (running_) return true;
    return fail(std::string("the plug-in is not running here: expected 'start' before '") + keyword + "'");
}

bool Parser::declaration(const std::vector<std::string>& w) {
    const std::string& k = w[0];
    if (k == "variables") {
        if (!beforeStart(k)) return false;
        script_->variables.assign(w.begin() + 1, w.end());
        return true;
    }
    if (k == "datafile") {
        if (w.size() != 2) return usage("datafile PATH");
        if (!beforeStart(k)) return false;
        std::string resolved = w[1][0] == '/' ? w[1] : folderOf(path_) + w[1];
        std::string content, error;
        if (!readFile(resolved, &content, &error)) return fail("expected a readable data file: " + error);
        char absolute[PATH_MAX];
        script_->dataFile = realpath(resolved.c_str(), absolute) != nullptr ? absolute : resolved;
        return true;
    }
    if (k == "clock") {
        if (w.size() != 2) return usage("clock WHEN");
        if (!beforeStart(k)) return false;
        if (!parseDate(w[1], &script_->clock))
            return fail("expected a time such as 2026-01-01, \"2026-01-01 12:30:00\" or 1767225600, got " + quoted(w[1]));
        script_->clockSet = true;
        return true;
    }
    if (k == "room") {
        if (w.size() < 2) return usage("room NAME SPOT...");
        for (const RoomDecl& r : script_->rooms)
            if (r.name == w[1]) return fail("room " + quoted(w[1]) + " is declared twice");
        if (script_->rooms.size() >= INT16_MAX) return fail("too many rooms");
        for (size_t i = 2; i < w.size(); ++i)
            if (w[i].size() > kSpotNameMax)
                return fail("spot " + std::to_string(i - 1) + " has a name longer than " + std::to_string(kSpotNameMax) +
                            " characters, more than the host stores");
        script_->rooms.push_back({w[1], static_cast<int16_t>(script_->rooms.size() + 1), {w.begin() + 2, w.end()}, line_});
        return true;
    }
    // user
    if (w.size() != 4) return usage("user NAME WORD_A WORD_B");
    for (const UserDecl& u : script_->users)
        if (u.name == w[1]) return fail("user " + quoted(w[1]) + " is declared twice");
    int64_t a, b;
    if (!parseNumber(w[2], 0, UINT32_MAX, &a) || !parseNumber(w[3], 0, UINT32_MAX, &b))
        return fail("expected identity words from 0 to 4294967295 (or 0x hex), got '" + w[2] + " " + w[3] + "'");
    script_->users.push_back({w[1], static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
    return true;
}

bool Parser::event(const std::vector<std::string>& w) {
    const std::string& k = w[0];
    Step step;
    if (k == "start") {
        if (w.size() != 1) return usage("start");
        if (running_) return fail("the plug-in is already running: expected 'shutdown' before 'start'");
        started_ = running_ = true;
        add(StepKind::kStart, step);
        return true;
    }
    if (k == "restart" || k == "shutdown" || k == "timer") {
        if (w.size() != 1) return usage(k.c_str());
        if (!needsRunning(k)) return false;
        if (k == "shutdown") running_ = false;
        add(k == "restart" ? StepKind::kRestart : k == "shutdown" ? StepKind::kShutdown : StepKind::kTimer, step);
        return true;
    }
    if (k == "advance") {
        if (w.size() != 2) return usage("advance DURATION");
        if (!parseDuration(w[1], &step.seconds))
            return fail("expected a duration such as 300, 90s, 5m, 2h or 6d, got " + quoted(w[1]));
        add(StepKind::kAdvance, step);
        return true;
    }
    if (k == "logon" || k == "enter") {
        if (w.size() != 3) return usage(k == "logon" ? "logon USER ROOM" : "enter USER ROOM");
        if (!user(w[1], &step.user) || !room(w[2], &step.room) || !needsRunning(k)) return false;
        messageSent_ = true;
        add(k == "logon" ? StepKind::kLogon : StepKind::kEnter, step);
        return true;
    }
    if (k == "set") {
        if (w.size() != 5) return usage("set USER ROOM SPOT STATE");
        if (!user(w[1], &step.user) || !room(w[2], &step.room) || !spot(step.room, w[3], &step.spot) ||
            !state(w[4], &step.value) || !needsRunning(k))
            return false;
        messageSent_ = true;
        add(StepKind::kSet, step);
        return true;
    }
    return fail(std::string("expected one of ") + kKeywords + "; got " + quoted(k));
}

bool Parser::show(const std::vector<std::string>& w) {
    Step step;
    if (w.size() != 2) return usage("show ROOM | show records | show file");
    if (w[1] == "records") add(StepKind::kShowRecords, step);
    else if (w[1] == "file") add(StepKind::kShowFile, step);
    else if (room(w[1], &step.room)) add(StepKind::kShowRoom, step);
    else return false;
    return true;
}

bool Parser::expect(const std::vector<std::string>& w) {
    Step step;
    const std::string what = w.size() > 1 ? w[1] : "";
    if (what == "spot") {
        if (w.size() != 5) return usage("expect spot ROOM SPOT STATE");
        if (!room(w[2], &step.room) || !spot(step.room, w[3], &step.spot) || !state(w[4], &step.value)) return false;
        add(StepKind::kExpectSpot, step);
    } else if (what == "value") {
        if (w.size() != 5) return usage("expect value USER VARIABLE N");
        if (!user(w[2], &step.user) || !state(w[4], &step.value)) return false;
        step.word = w[3];
        add(StepKind::kExpectValue, step);
    } else if (what == "no-record") {
        if (w.size() != 3) return usage("expect no-record USER");
        if (!user(w[2], &step.user)) return false;
        add(StepKind::kExpectNoRecord, step);
    } else if (what == "records") {
        if (w.size() != 3) return usage("expect records N");
        if (!parseNumber(w[2], 0, UINT32_MAX, &step.value)) return fail("expected a count of records, got " + quoted(w[2]));
        add(StepKind::kExpectRecords, step);
    } else if (what == "passed" || what == "dropped") {
        if (w.size() != 2) return usage(what == "passed" ? "expect passed" : "expect dropped");
        if (!messageSent_) return fail("expected a 'logon', 'enter' or 'set' before 'expect " + what + "'");
        add(what == "passed" ? StepKind::kExpectPassed : StepKind::kExpectDropped, step);
    } else {
        return fail("expected 'expect' followed by spot, value, no-record, records, passed or dropped; got '" + text_ + "'");
    }
    return true;
}

bool Parser::room(const std::string& name, int* index) {
    std::string known;
    for (size_t i = 0; i < script_->rooms.size(); ++i) {
        if (script_->rooms[i].name == name) {
            *index = static_cast<int>(i);
            return true;
        }
        known += (known.empty() ? "" : ", ") + script_->rooms[i].name;
    }
    return fail("unknown room " + quoted(name) + ": expected a room declared above with 'room NAME SPOT...'" +
                (known.empty() ? std::string(" (none is)") : " (" + known + ")"));
}

bool Parser::user(const std::string& name, int* index) {
    std::string known;
    for (size_t i = 0; i < script_->users.size(); ++i) {
        if (script_->users[i].name == name) {
            *index = static_cast<int>(i);
            return true;
        }
        known += (known.empty() ? "" : ", ") + script_->users[i].name;
    }
    return fail("unknown user " + quoted(name) + ": expected a user declared above with 'user NAME WORD_A WORD_B'" +
                (known.empty() ? std::string(" (none is)") : " (" + known + ")"));
}

bool Parser::spot(int room, const std::string& name, int* position) {
    const RoomDecl& r = script_->rooms[static_cast<size_t>(room)];
    std::string known;
    for (size_t i = 0; i < r.spots.size(); ++i) {
        if (r.spots[i] == name) {
            *position = static_cast<int>(i);
            return true;
        }
        known += (known.empty() ? "" : ", ") + r.spots[i];
    }
    return fail("unknown spot " + quoted(name) + " in room " + quoted(r.name) + ": expected one of its spots" +
                (known.empty() ? std::string(" (it has none)") : " (" + known + ")"));
}

bool Parser::state(const std::string& text, int64_t* value) {
    if (parseNumber(text, INT16_MIN, INT16_MAX, value)) return true;
    return fail("expected a number from -32768 to 32767, got " + quoted(text));
}

}  // namespace

bool parseScriptText(const std::string& path, const std::string& text, Script* script, std::string* error) {
    *script = Script();
    Parser parser(path, script);
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (!parser.line(number, text.substr(start, end - start))) {
            *error = parser.error();
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool parseScript(const std::string& path, Script* script, std::string* error) {
    std::string text;
    if (!readFile(path, &text, error)) return false;
    return parseScriptText(path, text, script, error);
}

}  // namespace simtool
