// morvelt edit: safe changes to the data file of a stopped server. The file is read with the
// plug-in's own reader built into the tool (nothing expires), the actions are applied in order
// to those tables, and what changed is printed. Nothing is written on bad input or while a host
// holds the file's folder.
//
//   morvelt edit psdata/morvelt.ini --vars gold lives score -- set EIB score 12 drop 1002
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace simtool {

// One action with its words, verb first, as given after "--".
struct EditAction {
    size_t number;                   // 1-based, for messages
    std::vector<std::string> words;
};

struct EditRequest {
    std::string file;
    std::vector<std::string> variables;  // the plug-in's arguments after its own name
    std::vector<EditAction> actions;
    uint64_t now;                        // what "now" means, and the present a stamp-less header gets
    bool dryRun = false;
    bool force = false;                  // edit even where the folder's lock cannot be asked for
};

constexpr int kEditDone = 0;
constexpr int kEditNotDone = 1;   // refused (a host runs, or the lock cannot be asked for without
                                  // --force), or writing failed (the message tells what became of it)
constexpr int kEditBadInput = 2;
constexpr int kEditOutputFailed = 3;  // the report could not be written: nothing was changed

// What an edit did: its status, and once the file was written, a sentence saying so for a
// failure of the output after it.
struct EditResult {
    int status;
    std::string written;  // "FILE was written; ...", or "" while the file is unchanged
};

// Splits the words after "--" into actions, each verb taking its fixed number of words, and
// checks every value, time and new name in them. False with a message naming the action.
bool parseEditActions(const std::vector<std::string>& words, std::vector<EditAction>* actions, std::string* error);

// Runs the edit, printing what changed to `out`, and flushing that report before the file is
// changed. Returns kEditDone; kEditNotDone or kEditBadInput with a message in `error`, or
// kEditOutputFailed when the report could not be written (`out` holds the error): then the file
// is as it was.
EditResult runEdit(const EditRequest& request, FILE* out, std::string* error);

// Whether `name` can be a variable: 1 to 15 characters, none of them '=', '[', ']' or a
// control character, so that the data file reads it back under the same name.
bool validVariableName(const std::string& name);

}  // namespace simtool
