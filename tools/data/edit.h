// morvelt edit and undo: safe changes to the data file of a stopped server. The file is read with the
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
    int undoCopy = -1;                   // undo: the kept copy to put back (0: FILE.before-edit, 1 to 9:
                                         // FILE.before-edit.N); -1 for an edit by `actions`
    std::string program = "morvelt";     // the tool as run, for the command that undoes the edit
};

// How many copies of the file as it was an edit keeps: FILE.before-edit, the newest, and
// FILE.before-edit.1 to FILE.before-edit.9, newest first.
constexpr int kKeptCopies = 10;

// The path of kept copy `n` of `file`: n 0 is FILE.before-edit, n 1 to 9 FILE.before-edit.N.
std::string keptCopyPath(const std::string& file, int n);

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
// changed. Before the file is written, the kept copies move one place older (the oldest, copy 9,
// goes) and the file as it was becomes FILE.before-edit; after it, the command that undoes the
// edit is printed. An undo (request.undoCopy) takes the same path: its new content is the kept
// copy's, read without following a link, byte for byte. Returns kEditDone; kEditNotDone or kEditBadInput with a message in `error`, or
// kEditOutputFailed when the report could not be written (`out` holds the error): then the file
// is as it was.
EditResult runEdit(const EditRequest& request, FILE* out, std::string* error);

// Whether `name` can be a variable: 1 to 15 characters, none of them '=', '[', ']' or a
// control character, so that the data file reads it back under the same name.
bool validVariableName(const std::string& name);

}  // namespace simtool
