// Session scripts: a plain-text description of a host session, one declaration or event a line,
// that the simulator replays against the real plug-in. Example:
//
//   # Ann stores a score and sees it in another room.
//   variables score                 the plug-in's arguments after its own name
//   room workshop SetStats-score    a room and its spots, in order
//   room hall GetStats-score
//   user ann 4660 22136             identity words A and B
//   start
//   logon ann workshop
//   set ann workshop SetStats-score 7
//   enter ann hall
//   expect spot hall GetStats-score 7
//
// parseScript checks the whole script before anything runs: every room, user and spot named
// is declared, every number is in range, and events come in an order the host could produce.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace simtool {

struct RoomDecl {
    std::string name;                // as the script calls it
    int16_t id;                      // the host's room id: 1 for the first room declared, ...
    std::vector<std::string> spots;  // spot names, in the room's order; spot ids count from 1
    int line;                        // the declaration's line in the script
};

struct UserDecl {
    std::string name;  // as the script calls it
    uint32_t wordA;    // identity words the host holds for the user
    uint32_t wordB;
};

enum class StepKind {
    kSay,            // text: a line for the transcript
    kStart,          // starts the plug-in with the declared variables
    kLogon,          // user logs on in room
    kEnter,          // user enters room
    kSet,            // user changes spot of room to value
    kAdvance,        // seconds: the clock moves on, firing due timer events
    kTimer,          // the clock moves to the next requested timer event, which fires
    kRestart,        // shutdown, reload, start with the same arguments
    kShutdown,       // the host stops the plug-in
    kShowRoom,       // room: its spot states
    kShowRecords,    // the plug-in's record table
    kShowFile,       // the data file
    kExpectSpot,     // room, spot, value: the spot's state
    kExpectValue,    // user, text (variable), value: the user's value in the record table
    kExpectNoRecord, // user: no record for the user
    kExpectRecords,  // value: the number of records
    kExpectPassed,   // the last message went on to the host
    kExpectDropped,  // the last message was dropped
};

// Whether a step checks the session rather than changing it.
inline bool isExpectation(StepKind kind) {
    return kind == StepKind::kExpectSpot || kind == StepKind::kExpectValue || kind == StepKind::kExpectNoRecord ||
           kind == StepKind::kExpectRecords || kind == StepKind::kExpectPassed || kind == StepKind::kExpectDropped;
}

struct Step {
    int line;          // 1-based line in the script
    std::string text;  // the line as written, without comment and surrounding blanks
    StepKind kind;
    int room = -1;     // index into Script::rooms
    int user = -1;     // index into Script::users
    int spot = -1;     // 0-based position of the spot in its room
    int64_t value = 0; // a state, a value, a count
    uint64_t seconds = 0;
    std::string word;  // a variable name, or the text of `say`
};

struct Script {
    std::string path;
    std::vector<std::string> variables;  // the plug-in's arguments 1..n, in the host's order
    std::string dataFile;                // a data file to start from, resolved; "" for none
    bool clockSet = false;
    uint64_t clock = 0;                  // the host's clock at the start, when clockSet
    std::vector<RoomDecl> rooms;
    std::vector<UserDecl> users;
    std::vector<Step> steps;
};

// Reads the script at `path`. On failure returns false with one message of the form
// "PATH:LINE: what was expected" (or "PATH: ..." when the file cannot be read).
bool parseScript(const std::string& path, Script* script, std::string* error);

// Parses script text as if read from `path` (which names it in messages and anchors the
// paths in it).
bool parseScriptText(const std::string& path, const std::string& text, Script* script, std::string* error);

// The script format, for --help.
extern const char kScriptFormatHelp[];

}  // namespace simtool
