// Replaying a session script.
#include "tools/sim/session.h"

#include <algorithm>

#include "host/records.h"
#include "store/data_file.h"
#include "store/key_names.h"
#include "store/records.h"
#include "tools/common/clock_text.h"
#include "tools/common/run_folder.h"
#include "tools/common/table.h"
#include "tools/sim/warnings.h"

namespace simtool {

namespace {

constexpr char kPluginName[] = "morvelt";  // argument 0, as the host passes it
constexpr char kIndent[] = "        ";     // consequences of an event, below it

std::string keyName(uint32_t key) {
    char name[store::kKeyNameBuffer];
    store::encodeKeyName(key, name);
    return name;
}

int16_t spotId(int position) { return static_cast<int16_t>(position + 1); }

}  // namespace

Session::Session(const Script& script, hostsim::Host& host, FILE* out) : script_(script), host_(host), out_(out) {}

// ---- Running ------------------------------------------------------------------------------

bool Session::setUp(std::string* error) {
    if (script_.clockSet) host_.setNow(script_.clock);
    for (const RoomDecl& room : script_.rooms) {
        if (host_.addRoom(room.id, room.spots) == nullptr) {
            *error = script_.path + ": room '" + room.name + "' cannot be laid out in the host's memory";
            return false;
        }
    }
    for (const UserDecl& user : script_.users) users_.push_back(host_.addUser(user.wordA, user.wordB));
    return true;
}

bool Session::run(std::string* error) {
    if (!setUp(error)) return false;
    std::vector<std::string> warnings = spotWarnings(script_);
    for (const std::string& warning : warnings) fprintf(out_, "%s\n", warning.c_str());
    if (!warnings.empty()) fprintf(out_, "\n");
    for (const Step& s : script_.steps) {
        if (!step(s, error)) {
            *error = script_.path + ":" + std::to_string(s.line) + ": " + *error;
            return false;
        }
    }
    return true;
}

void Session::say(const std::string& line) {
    fprintf(out_, "%s%s\n", blankBefore_ ? "" : "\n", line.c_str());
    blankBefore_ = false;
}

bool Session::step(const Step& s, std::string* error) {
    if (s.kind == StepKind::kSay) {
        say(s.word);
        return true;
    }
    blankBefore_ = false;
    if (isExpectation(s.kind)) {
        expectation(s);
        return true;
    }
    fprintf(out_, "%4d  %s\n", s.line, s.text.c_str());
    std::string warning = stepWarning(script_, s);
    if (!warning.empty()) fprintf(out_, "%s\n", warning.c_str());
    Snapshot before = snapshot();
    switch (s.kind) {
        case StepKind::kStart: start(); break;
        case StepKind::kLogon:
        case StepKind::kEnter:
        case StepKind::kSet: lastPassed_ = message(s); break;
        case StepKind::kAdvance: advance(s.seconds); return true;
        case StepKind::kTimer: nextTimer(); return true;
        case StepKind::kRestart: return restart(error);
        case StepKind::kShutdown: shutdown(); return true;
        case StepKind::kShowRoom: showRoom(s.room); return true;
        case StepKind::kShowRecords: showRecords(); return true;
        case StepKind::kShowFile: showFile(); return true;
        default: return true;
    }
    Snapshot after = snapshot();
    reportSpots(before, after);
    reportRecords(before, after, s.kind == StepKind::kStart);
    if (s.kind == StepKind::kStart) fireDue(false);
    return true;
}

// Sends the step's message; returns whether the plug-in let it pass.
bool Session::message(const Step& s) {
    const UserDecl& user = script_.users[static_cast<size_t>(s.user)];
    const RoomDecl& room = script_.rooms[static_cast<size_t>(s.room)];
    void* record = userRecord(s.user);
    int16_t wasIn = host_.userRoom(record);
    bool passed;
    if (s.kind == StepKind::kLogon) passed = host_.logon(record, room.id);
    else if (s.kind == StepKind::kEnter) passed = host_.enterRoom(record, room.id);
    else passed = host_.changeSpot(record, room.id, spotId(s.spot), static_cast<int16_t>(s.value));

    if (!passed) {
        std::string why;
        const std::string spot = s.kind == StepKind::kSet ? room.spots[static_cast<size_t>(s.spot)] : "";
        if (s.kind == StepKind::kSet && wasIn != room.id) why = " (" + user.name + " is not in " + room.name + ")";
        else if (spot.compare(0, 9, "GetStats-") == 0) why = " (users cannot change a GetStats- spot)";
        fprintf(out_, "%sdropped: the host does not go on with the message%s\n", kIndent, why.c_str());
    } else if (s.kind == StepKind::kSet) {
        fprintf(out_, "%spassed: the host applies the new state %lld\n", kIndent, static_cast<long long>(s.value));
    } else {
        fprintf(out_, "%spassed: %s is in %s now\n", kIndent, user.name.c_str(), room.name.c_str());
    }
    return passed;
}

void Session::start() {
    std::vector<std::string> arguments{kPluginName};
    arguments.insert(arguments.end(), script_.variables.begin(), script_.variables.end());
    host_.start(arguments);
    variables_ = variableNames();
    std::string list;
    for (size_t i = 0; i < variables_.size(); ++i) list += " " + std::to_string(i + 1) + "=" + variables_[i];
    fprintf(out_, "%splug-in started at %s UTC; variables:%s\n", kIndent, formatDate(host_.now()).c_str(),
            list.empty() ? " none" : list.c_str());
    reportHostNews();
}

void Session::shutdown() {
    host_.shutdown();
    fprintf(out_, "%splug-in stopped; the data file holds %s; host blocks still held: %zu\n", kIndent,
            fileSummary().c_str(), host_.memory().liveBlocks);
    reportHostNews();
}

bool Session::restart(std::string* error) {
    size_t before = host_.plugin().recordCount();
    host_.shutdown();
    fprintf(out_, "%splug-in stopped with %zu record%s; the data file holds %s\n", kIndent, before,
            before == 1 ? "" : "s", fileSummary().c_str());
    reportHostNews();
    std::string path = host_.plugin().path();
    if (!host_.plugin().load(path, error)) return false;
    fprintf(out_, "%slibrary reloaded\n", kIndent);
    Snapshot empty = snapshot();
    start();
    reportRecords(empty, snapshot(), true);
    fireDue(false);
    return true;
}

void Session::advance(uint64_t seconds) {
    uint64_t end = host_.now() + seconds;
    int fired = 0;
    for (;;) {
        fired += fireDue(true);
        uint64_t next = nextDue();
        if (next > end) break;
        host_.setNow(next);
    }
    host_.setNow(end);
    if (fired != 0) fprintf(out_, "%s%d timer event%s fired\n", kIndent, fired, fired == 1 ? "" : "s");
    fprintf(out_, "%sclock: %s UTC%s\n", kIndent, formatDate(host_.now()).c_str(), nextDueText().c_str());
}

void Session::nextTimer() {
    uint64_t next = nextDue();
    if (next == UINT64_MAX) {
        fprintf(out_, "%sno timer event is asked for: nothing fires\n", kIndent);
        return;
    }
    host_.setNow(std::max(next, host_.now()));
    fireDue(false);
}

uint64_t Session::nextDue() const {
    uint64_t next = UINT64_MAX;
    for (const hostsim::TimerRequest& request : host_.timerRequests())
        if (!request.fired) next = std::min(next, request.due);
    return next;
}

std::string Session::nextDueText() const {
    uint64_t next = nextDue();
    return next == UINT64_MAX ? "; no timer event asked for" : "; next timer event due " + formatDate(next) + " UTC";
}

int Session::fireDue(bool quiet) {
    int fired = 0;
    for (;;) {
        Snapshot before = snapshot();
        std::string fileBefore = fileSummary();
        if (host_.fireDueTimers() == 0) return fired;
        ++fired;
        Snapshot after = snapshot();
        if (quiet && before.records.size() == after.records.size() && fileSummary() == fileBefore) {
            timersSeen_ = host_.timerRequests().size();
            continue;
        }
        // What the event dropped comes before what the file then holds.
        std::string when = formatDate(host_.now());
        if (before.records.size() == after.records.size()) {
            fprintf(out_, "%stimer event at %s UTC: the data file holds %s\n", kIndent, when.c_str(), fileSummary().c_str());
        } else {
            fprintf(out_, "%stimer event at %s UTC:\n", kIndent, when.c_str());
            reportRecords(before, after, false);
            fprintf(out_, "%sthe data file holds %s\n", kIndent, fileSummary().c_str());
        }
        if (quiet) timersSeen_ = host_.timerRequests().size();
        else reportHostNews();
    }
}

// ---- Expectations -------------------------------------------------------------------------

void Session::expectation(const Step& s) {
    std::string failure;  // empty: it held
    switch (s.kind) {
        case StepKind::kExpectSpot: {
            int16_t state = host_.spotState(script_.rooms[static_cast<size_t>(s.room)].id, spotId(s.spot));
            if (state != s.value) failure = "the spot shows " + std::to_string(state);
            break;
        }
        case StepKind::kExpectValue:
        case StepKind::kExpectNoRecord: {
            const UserDecl& user = script_.users[static_cast<size_t>(s.user)];
            uint32_t key = host::userKey(user.wordA, user.wordB);
            Snapshot now = snapshot();
            auto found = now.records.find(key);
            if (s.kind == StepKind::kExpectNoRecord) {
                if (found != now.records.end()) failure = user.name + " has a record: " + valuesText(found->second.values);
                break;
            }
            auto variable = std::find(variables_.begin(), variables_.end(), s.word);
            if (found == now.records.end()) {
                failure = user.name + " has no record";
            } else if (variable == variables_.end()) {
                failure = "'" + s.word + "' is not a variable";
            } else {
                int16_t value = found->second.values[static_cast<size_t>(variable - variables_.begin())];
                if (value != s.value) failure = "the value is " + std::to_string(value);
            }
            break;
        }
        case StepKind::kExpectRecords: {
            size_t count = snapshot().records.size();
            if (static_cast<int64_t>(count) != s.value) failure = "the plug-in keeps " + std::to_string(count);
            break;
        }
        case StepKind::kExpectPassed:
            if (!lastPassed_) failure = "the message was dropped";
            break;
        case StepKind::kExpectDropped:
            if (lastPassed_) failure = "the message passed";
            break;
        default: break;
    }
    if (failure.empty()) {
        ++held_;
        fprintf(out_, "%4d  %s: ok\n", s.line, s.text.c_str());
    } else {
        failedLines_.push_back(s.line);
        fprintf(out_, "%4d  %s: FAILED, %s\n", s.line, s.text.c_str(), failure.c_str());
    }
}

// ---- What changed -------------------------------------------------------------------------

Session::Snapshot Session::snapshot() const {
    Snapshot shot;
    for (const RoomDecl& room : script_.rooms) {
        std::vector<int16_t> states;
        for (size_t i = 0; i < room.spots.size(); ++i) states.push_back(host_.spotState(room.id, spotId(static_cast<int>(i))));
        shot.spots.push_back(states);
    }
    const hostsim::Plugin& plugin = host_.plugin();
    if (!plugin.loaded()) return shot;
    for (uint32_t r = 0; r < plugin.recordCount(); ++r) {
        const StatRecord& record = plugin.records()[r];
        RecordView view{record.stamp, {}};
        for (uint32_t v = 0; v < plugin.variableCount(); ++v) view.values.push_back(record.values != nullptr ? record.values[v] : 0);
        shot.records[record.key] = view;
    }
    return shot;
}

void Session::reportSpots(const Snapshot& before, const Snapshot& after) {
    for (size_t r = 0; r < script_.rooms.size(); ++r) {
        std::string changes;
        for (size_t i = 0; i < script_.rooms[r].spots.size(); ++i) {
            if (before.spots[r][i] == after.spots[r][i]) continue;
            changes += (changes.empty() ? "" : ", ") + script_.rooms[r].spots[i] + " " +
                       std::to_string(before.spots[r][i]) + " -> " + std::to_string(after.spots[r][i]);
        }
        if (!changes.empty()) fprintf(out_, "%s%s: %s\n", kIndent, script_.rooms[r].name.c_str(), changes.c_str());
    }
}

void Session::reportRecords(const Snapshot& before, const Snapshot& after, bool loaded) {
    for (const auto& entry : before.records) {
        if (after.records.count(entry.first) != 0) continue;
        uint32_t present = static_cast<uint32_t>(host_.now());
        uint32_t stamp = entry.second.stamp;
        std::string when = stamp > host_.now() ? formatAge(stamp - present) + " ahead of the clock"
                                               : formatAge(present - stamp) + " ago";
        fprintf(out_, "%srecord of %s dropped: last change %s UTC, %s\n", kIndent, userOfKey(entry.first).c_str(),
                formatDate(stamp).c_str(), when.c_str());
    }
    for (const auto& entry : after.records) {
        auto old = before.records.find(entry.first);
        const RecordView& now = entry.second;
        if (old == before.records.end()) {
            fprintf(out_, "%s%s %s: %s, last change %s UTC\n", kIndent,
                    loaded ? "read back the record of" : "new record for", userWithKey(entry.first).c_str(),
                    valuesText(now.values).c_str(), formatDate(now.stamp).c_str());
            continue;
        }
        std::string changes;
        for (size_t v = 0; v < now.values.size() && v < old->second.values.size(); ++v) {
            if (now.values[v] == old->second.values[v]) continue;
            changes += (changes.empty() ? "" : ", ") + variables_[v] + " " + std::to_string(old->second.values[v]) +
                       " -> " + std::to_string(now.values[v]);
        }
        if (now.stamp != old->second.stamp)
            changes += (changes.empty() ? "" : ", ") + std::string("stamped ") + formatDate(now.stamp) + " UTC";
        if (!changes.empty())
            fprintf(out_, "%srecord of %s: %s\n", kIndent, userOfKey(entry.first).c_str(), changes.c_str());
    }
}

// Tells the log lines and timer requests that came since the last call.
void Session::reportHostNews() {
    const std::vector<std::string>& log = host_.log();
    for (; logSeen_ < log.size(); ++logSeen_) fprintf(out_, "%shost log: %s\n", kIndent, log[logSeen_].c_str());
    const std::vector<hostsim::TimerRequest>& timers = host_.timerRequests();
    for (; timersSeen_ < timers.size(); ++timersSeen_) {
        const hostsim::TimerRequest& request = timers[timersSeen_];
        if (!host_.running()) {
            fprintf(out_, "%sasks for a timer event in %d s while stopping; the host forgets it\n", kIndent, request.delay);
            continue;
        }
        fprintf(out_, "%sasks for a timer event in %d s, due %s UTC\n", kIndent, request.delay,
                formatDate(request.due).c_str());
    }
}

// ---- Shows --------------------------------------------------------------------------------

void Session::showRoom(int room) {
    const RoomDecl& decl = script_.rooms[static_cast<size_t>(room)];
    Table table({"spot", "id", "state"});
    for (size_t i = 0; i < decl.spots.size(); ++i) {
        int16_t id = spotId(static_cast<int>(i));
        table.add({decl.spots[i], std::to_string(id), std::to_string(host_.spotState(decl.id, id))});
    }
    fprintf(out_, "%sroom %s (id %d):\n", kIndent, decl.name.c_str(), decl.id);
    table.print(out_, std::string(kIndent) + "  ");
}

void Session::showRecords() {
    Snapshot now = snapshot();
    if (now.records.empty()) {
        fprintf(out_, "%sno records\n", kIndent);
        return;
    }
    std::vector<std::string> header{"user", "key", "key name", "last change (UTC)"};
    std::vector<std::string> names = variableNames();
    header.insert(header.end(), names.begin(), names.end());
    Table table(header);
    const hostsim::Plugin& plugin = host_.plugin();
    for (uint32_t r = 0; r < plugin.recordCount(); ++r) {  // in table order
        const StatRecord& record = plugin.records()[r];
        std::string names = userNames(record.key);
        std::vector<std::string> row{names.empty() ? "-" : names, std::to_string(record.key), keyName(record.key),
                                     formatDate(record.stamp)};
        for (int16_t value : now.records[record.key].values) row.push_back(std::to_string(value));
        table.add(row);
    }
    table.print(out_, std::string(kIndent) + "  ");
}

void Session::showFile() {
    std::string content, error;
    if (!readFile(store::kDataPath, &content, &error)) {
        fprintf(out_, "%s%s does not exist\n", kIndent, store::kDataPath);
        return;
    }
    if (content.empty()) {
        fprintf(out_, "%s%s is empty\n", kIndent, store::kDataPath);
        return;
    }
    fprintf(out_, "%s%s, %s:\n", kIndent, store::kDataPath, fileSummary().c_str());
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        fprintf(out_, "%s  | %s\n", kIndent, content.substr(start, end - start).c_str());
        start = end + 1;
    }
}

// "2 records", "no records", or "nothing (there is no data file)".
std::string Session::fileSummary() const {
    std::string content, error;
    if (!readFile(store::kDataPath, &content, &error)) return "nothing (there is no data file)";
    size_t headers = 0;
    size_t start = 0;
    while (start < content.size()) {
        if (content[start] == '[') ++headers;
        size_t end = content.find('\n', start);
        start = end == std::string::npos ? content.size() : end + 1;
    }
    if (headers == 0) return "no records";
    return std::to_string(headers) + (headers == 1 ? " record" : " records");
}

// ---- Names --------------------------------------------------------------------------------

std::vector<std::string> Session::variableNames() const {
    std::vector<std::string> names;
    const hostsim::Plugin& plugin = host_.plugin();
    if (!plugin.loaded()) return variables_;
    for (uint32_t v = 0; v < plugin.variableCount(); ++v) names.push_back(plugin.variables()[v].name);
    return names;
}

std::string Session::userNames(uint32_t key) const {
    std::string names;
    for (const UserDecl& user : script_.users)
        if (host::userKey(user.wordA, user.wordB) == key) names += (names.empty() ? "" : "/") + user.name;
    return names;
}

std::string Session::userWithKey(uint32_t key) const {
    std::string names = userNames(key);
    std::string inFile = "key " + std::to_string(key) + " (" + keyName(key) + " in the data file)";
    return names.empty() ? inFile : names + ", " + inFile;
}

std::string Session::userOfKey(uint32_t key) const {
    std::string names = userNames(key);
    return names.empty() ? "key " + std::to_string(key) + " (" + keyName(key) + ")" : names;
}

std::string Session::valuesText(const std::vector<int16_t>& values) const {
    if (values.empty()) return "no values";
    std::string text;
    for (size_t v = 0; v < values.size(); ++v)
        text += (v == 0 ? "" : ", ") + (v < variables_.size() ? variables_[v] : "?") + "=" + std::to_string(values[v]);
    return text;
}

}  // namespace simtool
