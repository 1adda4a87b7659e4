// The usual mistakes of a session script.
#include "tools/sim/warnings.h"

#include <ctype.h>

#include "host/records.h"
#include "store/records.h"
#include "store/variables.h"

namespace simtool {

namespace {

// The two prefixes the plug-in acts on, and what each kind of spot does.
struct Prefix {
    const char* text;        // as the plug-in matches it, letter for letter
    const char* ordinary;    // what becomes of a spot whose name only nearly starts with it
    const char* unknownVar;  // what becomes of a spot with it whose variable is not configured
};
const Prefix kPrefixes[] = {
    {"GetStats-", "entering the room does not show a stored value there",
     "entering the room shows 0 there, for no value is kept under that name"},
    {"SetStats-", "changes to it are not stored",
     "a change there creates the user's record and stores nothing"},
};
constexpr size_t kPrefixLength = 9;  // "GetStats-"
constexpr size_t kStemLength = 8;    // "GetStats", without the separator

bool startsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

std::string lowered(const std::string& text) {
    std::string low = text;
    for (char& c : low) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return low;
}

bool isSeparator(char c) { return !isalnum(static_cast<unsigned char>(c)); }

// How a spot's name nearly starts with a prefix: what differs, and how long the name's own
// prefix is.
struct NearMiss {
    const char* how = nullptr;  // null: the name does not nearly start with the prefix
    size_t written = 0;
};

// How `spot` nearly starts with `prefix`; none when it does not, or starts with it exactly.
NearMiss nearMiss(const std::string& spot, const std::string& prefix) {
    if (startsWith(spot, prefix)) return {};
    std::string low = lowered(spot), stem = lowered(prefix.substr(0, kStemLength));
    if (startsWith(low, stem)) {
        if (low.size() > kStemLength && low[kStemLength] == '-') return {"another letter case", kPrefixLength};
        if (low.size() > kStemLength && isSeparator(low[kStemLength])) return {"another separator", kPrefixLength};
        return {"no separator", kStemLength};
    }
    for (size_t missing = 0; missing < kStemLength; ++missing) {
        std::string shorter = stem.substr(0, missing) + stem.substr(missing + 1);
        if (startsWith(low, shorter) && low.size() > shorter.size() && isSeparator(low[shorter.size()]))
            return {"one letter missing", kStemLength};
    }
    return {};
}

// `name` as the plug-in keeps it.
std::string keptName(const std::string& name) { return name.substr(0, kVariableNameMax); }

// Whether a spot naming `variable` reaches a configured variable: the plug-in looks the spot's
// name up among the kept names as it stands, uncut.
bool configured(const Script& script, const std::string& variable) {
    for (const std::string& name : script.variables)
        if (keptName(name) == variable) return true;
    return false;
}

// Whether `variable` is a configured name written in full past the cut the plug-in keeps it by.
bool namedPastCut(const Script& script, const std::string& variable) {
    if (variable.size() <= kVariableNameMax) return false;
    for (const std::string& name : script.variables)
        if (keptName(name) == keptName(variable)) return true;
    return false;
}

std::string variableList(const Script& script) {
    std::string list;
    for (const std::string& name : script.variables) list += (list.empty() ? "" : ", ") + name;
    return list.empty() ? "none" : list;
}

std::string where(const Script& script, int line) { return "warning: " + script.path + ":" + std::to_string(line) + ": "; }

// The warning about spot `spot` of `room`, or "".
std::string spotWarning(const Script& script, const RoomDecl& room, const std::string& spot) {
    std::string about = "spot \"" + spot + "\" in room " + room.name;
    for (const Prefix& prefix : kPrefixes) {
        NearMiss miss = nearMiss(spot, prefix.text);
        if (miss.how != nullptr)
            return where(script, room.line) + about + " starts \"" + spot.substr(0, miss.written) + "\", not \"" +
                   prefix.text + "\" (" + miss.how + "): the plug-in takes it for an ordinary spot; " + prefix.ordinary;
        if (!startsWith(spot, prefix.text)) continue;
        std::string variable = spot.substr(kPrefixLength);
        if (configured(script, variable)) return "";
        if (namedPastCut(script, variable))
            return where(script, room.line) + about + " names the variable \"" + variable +
                   "\" in full, but the plug-in keeps it cut to " + std::to_string(kVariableNameMax) +
                   " characters, as \"" + keptName(variable) + "\" (name the spot \"" + prefix.text +
                   keptName(variable) + "\"): " + prefix.unknownVar;
        return where(script, room.line) + about + " names the variable \"" + variable +
               "\", which the variables line does not configure (" + variableList(script) + "): " + prefix.unknownVar;
    }
    return "";
}

}  // namespace

std::vector<std::string> spotWarnings(const Script& script) {
    std::vector<std::string> warnings;
    for (const RoomDecl& room : script.rooms)
        for (const std::string& spot : room.spots) {
            std::string warning = spotWarning(script, room, spot);
            if (!warning.empty()) warnings.push_back(warning);
        }
    return warnings;
}

std::string stepWarning(const Script& script, const Step& step) {
    if (step.kind != StepKind::kSet) return "";
    const std::string& spot = script.rooms[static_cast<size_t>(step.room)].spots[static_cast<size_t>(step.spot)];
    const UserDecl& user = script.users[static_cast<size_t>(step.user)];
    uint32_t key = host::userKey(user.wordA, user.wordB);
    if (!startsWith(spot, "SetStats-") || key > store::kKeyFloor) return "";
    return where(script, step.line) + "user " + user.name + " (key " + std::to_string(key) + ") changes spot \"" + spot +
           "\" (variable \"" + spot.substr(kPrefixLength) + "\"): the plug-in records no user whose key is " +
           std::to_string(store::kKeyFloor) + " or less, so the change is not stored";
}

}  // namespace simtool
