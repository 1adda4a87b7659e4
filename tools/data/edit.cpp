// morvelt edit and undo.
#include "tools/data/edit.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "host/api.h"
#include "store/attributes.h"
#include "store/data_file.h"
#include "store/fd.h"
#include "store/file_replace.h"
#include "store/key_index.h"
#include "store/key_names.h"
#include "store/records.h"
#include "store/variables.h"
#include "tools/common/clock_text.h"
#include "tools/common/output.h"
#include "tools/common/run_folder.h"
#include "tools/data/edit_lock.h"
#include "tools/common/folder_owner.h"
#include "tools/data/loaded_file.h"
#include "tools/data/own_store.h"

namespace simtool {

namespace {

constexpr char kBeforeEditSuffix[] = ".before-edit";  // beside FILE: the file as it was

// Each verb and its words, verb included.
const std::map<std::string, std::string> kActionForms = {
    {"set", "set KEY VAR VALUE"},     {"reset", "reset KEY VAR|all"},   {"drop", "drop KEY"},
    {"rename-var", "rename-var OLD NEW"}, {"drop-var", "drop-var VAR"}, {"stamp", "stamp KEY|all WHEN"},
};

size_t wordCount(const std::string& form) { return static_cast<size_t>(std::count(form.begin(), form.end(), ' ')) + 1; }

// `name` as the plug-in keeps it: cut to kVariableNameMax characters.
std::string keptName(const std::string& name) { return name.substr(0, kVariableNameMax); }

std::string actionText(const EditAction& action) {
    std::string text;
    for (const std::string& w : action.words) text += (text.empty() ? "" : " ") + w;
    return text;
}

// The action's words with the variable it names as the plug-in keeps it, for the report.
std::string keptActionText(const EditAction& action) {
    EditAction kept = action;
    const std::string& verb = action.words[0];
    size_t variable = verb == "set" || verb == "reset" ? 2 : verb == "rename-var" || verb == "drop-var" ? 1 : 0;
    if (variable != 0) kept.words[variable] = keptName(kept.words[variable]);
    return actionText(kept);
}

// "action 2 (set EIB score x)", for messages.
std::string actionName(const EditAction& action) {
    return "action " + std::to_string(action.number) + " (" + actionText(action) + ")";
}

// A statistic value written in decimal, -32768 to 32767.
bool parseValue(const std::string& text, int16_t* value) {
    size_t digits = text[0] == '-' ? 1 : 0;
    if (text.size() == digits || text.size() > digits + 6 ||
        text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    long number = std::stol(text);
    if (number < INT16_MIN || number > INT16_MAX) return false;
    *value = static_cast<int16_t>(number);
    return true;
}

// A stamp: a date, seconds since 1970, or "now".
bool parseWhen(const std::string& text, uint64_t now, uint32_t* stamp) {
    uint64_t seconds = now;
    if (text != "now" && !parseDate(text, &seconds)) return false;
    *stamp = static_cast<uint32_t>(seconds);
    return true;
}

// Why `stamp` cannot be written, or "": the reader takes stamp 0 as the present, so a user given
// it would be kept, not expired.
std::string stampFault(const std::string& when, uint32_t stamp) {
    if (stamp != 0) return "";
    return "WHEN " + when + ": its stamp, cut to 32 bits as the file keeps it, is 0, which the plug-in's reader takes "
           "as the present: the user would be kept five more days; drop KEY removes a user";
}

// What is wrong with the words of one action that no table is needed to tell, or "".
std::string checkWords(const EditAction& action) {
    const std::vector<std::string>& w = action.words;
    const std::string& verb = w[0];
    if (verb == "set") {
        int16_t value = 0;
        if (!parseValue(w[3], &value)) return "VALUE " + w[3] + ": expected a whole number from -32768 to 32767";
    } else if (verb == "rename-var" && !validVariableName(w[2])) {
        return "NEW " + w[2] + ": expected a variable name of 1 to 15 characters without '=', '[', ']' or control characters";
    } else if (verb == "stamp") {
        uint32_t stamp = 0;
        if (!parseWhen(w[2], 0, &stamp))
            return "WHEN " + w[2] + ": expected now, a date such as 2026-01-01 or \"2026-01-01 12:00:00\" (UTC), or seconds";
        if (w[2] != "now") return stampFault(w[2], stamp);
    }
    return "";
}

// Applies actions to the tool's own tables, which hold the file as the plug-in loads it, and
// tells what each one changed.
class Editor {
  public:
    Editor(const EditRequest& request, FILE* out);
    // False with a message naming the action at fault; the tables may then be half changed.
    bool apply(const EditAction& action, std::string* error);
    // The plug-in's arguments the file needs after the actions applied so far, in the host's
    // order: each variable once, by the name the plug-in keeps.
    const std::vector<std::string>& arguments() const { return arguments_; }
    bool variablesChanged() const { return variablesChanged_; }

  private:
    bool findKey(const std::string& text, StatRecord** record, std::string* error) const;
    bool findVariable(const std::string& name, const char* role, uint32_t* index, std::string* error) const;
    bool forKeys(const std::string& text, std::vector<StatRecord*>* records, std::string* error) const;
    bool set(const std::vector<std::string>& w, std::string* error);
    bool reset(const std::vector<std::string>& w, std::string* error);
    bool drop(const std::vector<std::string>& w, std::string* error);
    bool renameVariable(const std::vector<std::string>& w, std::string* error);
    bool dropVariable(const std::vector<std::string>& w, std::string* error);
    bool stamp(const std::vector<std::string>& w, std::string* error);
    void change(const StatRecord& record, const std::string& what);
    std::string valuesText(const StatRecord& record) const;

    const EditRequest& request_;
    FILE* out_;
    bool variablesChanged_ = false;
    std::vector<std::string> arguments_;
};

// Adds `name` to `names` unless it is there already.
void addOnce(std::vector<std::string>& names, const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

Editor::Editor(const EditRequest& request, FILE* out) : request_(request), out_(out) {
    for (const std::string& given : request_.variables) addOnce(arguments_, keptName(given));
}

std::string userName(const StatRecord& record) {
    return keyName(record.key) + " (key " + std::to_string(record.key) + ")";
}

void Editor::change(const StatRecord& record, const std::string& what) {
    fprintf(out_, "     %s: %s\n", userName(record).c_str(), what.c_str());
}

std::string Editor::valuesText(const StatRecord& record) const {
    std::string text;
    for (uint32_t v = 0; v < nbrVar; ++v)
        text += (text.empty() ? "" : " ") + std::string(isVar[v].name) + "=" + std::to_string(record.values[v]);
    return text.empty() ? "no values" : text;
}

bool Editor::findKey(const std::string& text, StatRecord** record, std::string* error) const {
    uint32_t key = 0;
    bool decimal = !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
    if (decimal && std::stoull(text) <= UINT32_MAX) key = static_cast<uint32_t>(std::stoull(text));
    else if (!decimal && keyName(store::decodeKeyName(text.c_str())) == text) key = store::decodeKeyName(text.c_str());
    if (key == 0) {
        *error = "KEY " + text + ": expected a user key in decimal or a key name as the data file writes it (EIB)";
        return false;
    }
    *record = store::findRecord(key);
    if (*record == nullptr) {
        *error = "KEY " + text + ": no user with key " + std::to_string(key) + " (" + keyName(key) + ") in the file";
        return false;
    }
    return true;
}

bool Editor::forKeys(const std::string& text, std::vector<StatRecord*>* records, std::string* error) const {
    if (text != "all") {
        StatRecord* record;
        if (!findKey(text, &record, error)) return false;
        records->push_back(record);
        return true;
    }
    for (uint32_t r = 0; r < nbrRec; ++r) records->push_back(&isRec[r]);
    return true;
}

bool Editor::findVariable(const std::string& name, const char* role, uint32_t* index, std::string* error) const {
    *index = store::variableIndex(keptName(name).c_str());
    if (*index != 0) return true;
    std::string list;
    for (uint32_t v = 0; v < nbrVar; ++v) list += (list.empty() ? "" : ", ") + std::string(isVar[v].name);
    *error = std::string(role) + " " + name + ": not a variable (" + (list.empty() ? "there are none" : list) + ")";
    return false;
}

bool Editor::set(const std::vector<std::string>& w, std::string* error) {
    StatRecord* record;
    uint32_t index;
    int16_t value = 0;
    if (!findKey(w[1], &record, error) || !findVariable(w[2], "VAR", &index, error)) return false;
    parseValue(w[3], &value);
    int16_t& slot = record->values[index - 1];
    change(*record, std::string(isVar[index - 1].name) + " " + std::to_string(slot) + " -> " + std::to_string(value) + (slot == value ? " (unchanged)" : ""));
    slot = value;
    return true;
}

bool Editor::reset(const std::vector<std::string>& w, std::string* error) {
    StatRecord* record;
    uint32_t only = 0;
    if (!findKey(w[1], &record, error) || (w[2] != "all" && !findVariable(w[2], "VAR", &only, error))) return false;
    std::string changes;
    for (uint32_t v = 0; v < nbrVar; ++v) {
        if (only != 0 && v != only - 1) continue;
        if (record->values[v] != 0)
            changes += (changes.empty() ? "" : ", ") + std::string(isVar[v].name) + " " + std::to_string(record->values[v]) + " -> 0";
        record->values[v] = 0;
    }
    change(*record, changes.empty() ? "already 0" : changes);
    return true;
}

bool Editor::drop(const std::vector<std::string>& w, std::string* error) {
    StatRecord* record;
    if (!findKey(w[1], &record, error)) return false;
    change(*record, "dropped; it held " + valuesText(*record) + ", last change " + formatDate(record->stamp) + " UTC");
    DisposePtr(record->values);
    size_t position = static_cast<size_t>(record - isRec);
    memmove(record, record + 1, (nbrRec - position - 1) * sizeof(StatRecord));
    --nbrRec;
    store::refreshIndex(true);  // the records after it moved
    return true;
}

bool Editor::renameVariable(const std::vector<std::string>& w, std::string* error) {
    uint32_t index, existing = store::variableIndex(w[2].c_str());
    if (!findVariable(w[1], "OLD", &index, error)) return false;
    std::string old = isVar[index - 1].name;
    if (existing != 0) {
        *error = "NEW " + w[2] + ": is a variable already; drop-var it first if its values may go";
        return false;
    }
    StatVariable& entry = isVar[index - 1];
    memset(entry.name, 0, sizeof entry.name);
    memcpy(entry.name, w[2].data(), w[2].size());
    std::vector<std::string> renamed;
    for (const std::string& name : arguments_) addOnce(renamed, name == old ? w[2] : name);
    arguments_.swap(renamed);
    variablesChanged_ = true;
    fprintf(out_, "     variable %u, %s, is now %s in every user's section\n", index, old.c_str(), w[2].c_str());
    return true;
}

bool Editor::dropVariable(const std::vector<std::string>& w, std::string* error) {
    uint32_t index;
    if (!findVariable(w[1], "VAR", &index, error)) return false;
    uint32_t slot = index - 1, holding = 0;
    std::string name = isVar[slot].name;
    for (uint32_t r = 0; r < nbrRec; ++r) {
        int16_t* values = isRec[r].values;
        if (values[slot] != 0) ++holding;
        memmove(values + slot, values + slot + 1, (nbrVar - slot - 1) * sizeof(int16_t));
    }
    memmove(isVar + slot, isVar + slot + 1, (nbrVar - slot - 1) * sizeof(StatVariable));
    --nbrVar;
    arguments_.erase(std::remove(arguments_.begin(), arguments_.end(), name), arguments_.end());
    variablesChanged_ = true;
    fprintf(out_, "     variable %s dropped from every user's section (%u user%s held a value other than 0)\n",
            name.c_str(), holding, holding == 1 ? "" : "s");
    return true;
}

bool Editor::stamp(const std::vector<std::string>& w, std::string* error) {
    std::vector<StatRecord*> records;
    uint32_t when = 0;
    if (!forKeys(w[1], &records, error)) return false;
    parseWhen(w[2], request_.now, &when);
    *error = stampFault(w[2], when);
    if (!error->empty()) return false;
    for (StatRecord* record : records) {
        change(*record, "last change " + formatDate(record->stamp) + " -> " + formatDate(when) + " UTC" +
                            (record->stamp == when ? " (unchanged)" : ""));
        record->stamp = when;
    }
    if (records.empty()) fprintf(out_, "     no users\n");
    return true;
}

bool Editor::apply(const EditAction& action, std::string* error) {
    const std::vector<std::string>& w = action.words;
    fprintf(out_, "  %zu  %s\n", action.number, keptActionText(action).c_str());
    bool ok = w[0] == "set"          ? set(w, error)
              : w[0] == "reset"      ? reset(w, error)
              : w[0] == "drop"       ? drop(w, error)
              : w[0] == "rename-var" ? renameVariable(w, error)
              : w[0] == "drop-var"   ? dropVariable(w, error)
                                     : stamp(w, error);
    if (!ok) *error = actionName(action) + ": " + *error;
    return ok;
}

std::string joined(const std::vector<std::string>& words, const char* separator = " ") {
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : separator) + w;
    return text;
}

// Refuses, with the message and status for it, unless the folder of `file` and the file it leads
// to can be locked (or --force says to go on where a lock cannot be asked for; never where the
// file cannot be opened, which no edit could read).
int lockFile(const EditRequest& request, EditLock* lock, FILE* out, std::string* error) {
    std::string why;
    LockResult result = lock->lock(request.file, &why);
    if (result == LockResult::kLocked) return kEditDone;
    if (result == LockResult::kNotLockable && request.force) {
        fprintf(out, "warning: %s; going on as --force says\n", why.c_str());
        return kEditDone;
    }
    *error = request.file + ": " + why + (result == LockResult::kHostRunning ? ": stop the host first; nothing was changed"
                                          : result == LockResult::kNotOpened
                                              ? "; nothing was changed"
                                              : "; nothing was changed (--force edits without this check)");
    return kEditNotDone;
}

// Gives the new file `fd` the owner, group and permission bits of `source` where it can; where
// owner and group cannot be given, the permission bits without set-user-ID and set-group-ID. The
// sticky bit never. 0, or the errno of the failure.
int takeSourceMode(int fd, const struct stat& source) {
    bool sameOwner = fchown(fd, source.st_uid, source.st_gid) == 0;
    mode_t mode = source.st_mode & (sameOwner ? (S_ISUID | S_ISGID | 0777) : 0777);
    return fchmod(fd, mode) == 0 ? 0 : errno;
}

// Keeps `original`, the content of the file `source` describes as it was read, at `path`,
// replacing an older copy atomically. The copy is made as a new file (store::createExclusive),
// never through a link at its temporary name, and gets the source's mode as takeSourceMode
// says. 0, or the errno of the failure.
int keepBeforeEdit(const std::string& path, const std::string& original, const struct stat& source) {
    std::string temp = path + ".tmp";
    store::Fd fd(store::createExclusive(temp.c_str(), 0600));
    if (!fd.ok()) return errno;
    int error = takeSourceMode(fd.get(), source);
    if (error == 0 && !store::writeAll(fd.get(), original.data(), original.size())) error = errno;
    if (error == 0 && fsync(fd.get()) != 0) error = errno;
    if (!fd.close() && error == 0) error = errno;
    if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) unlink(temp.c_str());
    return error;
}

// Moves the kept copies of `file` one place older: copy 9 goes, 8 becomes 9, ..., FILE.before-edit
// becomes FILE.before-edit.1. Entries are renamed, never followed or opened. 0, or the errno of
// the failure (the copies then stand where they stood, or one place older: none is lost).
int ageKeptCopies(const std::string& file) {
    if (unlink(keptCopyPath(file, kKeptCopies - 1).c_str()) != 0 && errno != ENOENT) return errno;
    for (int n = kKeptCopies - 2; n >= 0; --n)
        if (rename(keptCopyPath(file, n).c_str(), keptCopyPath(file, n + 1).c_str()) != 0 && errno != ENOENT)
            return errno;
    return 0;
}

// The content an undo writes, for the store's replaceFile, which takes plain functions.
const std::string* undoText = nullptr;
int writeUndoText(int fd) { return store::writeAll(fd, undoText->data(), undoText->size()) ? 0 : errno; }
uint64_t undoTextSize() { return undoText->size(); }

// `text` as a shell word: quoted where it holds anything but letters, digits and / . _ -
std::string shellWord(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-") ==
                             std::string::npos)
        return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Keeps the file as it was beside it, the older copies one place older, then writes the new
// content over it with the plug-in's own save (store/file_replace.h: by rename where that keeps
// the file what it is, else in place): the tool's tables, or `restored` for an undo.
EditResult writeEditedFile(const EditRequest& request, const std::string& original, const struct stat& source,
                           const std::string* restored, FILE* out, std::string* error) {
    std::string backup = keptCopyPath(request.file, 0);
    int failed = ageKeptCopies(request.file);
    if (failed != 0) {
        *error = backup + ": cannot move the kept copies one place older: " + strerror(failed) + "; nothing was changed";
        return {kEditNotDone, ""};
    }
    failed = keepBeforeEdit(backup, original, source);
    if (failed != 0) {
        *error = backup + ": cannot keep the file as it was there: " + strerror(failed) + "; nothing was changed";
        return {kEditNotDone, ""};
    }
    store::copyAttributesWhereCan(request.file.c_str(), backup.c_str());
    undoText = restored;
    store::ReplaceResult result = restored != nullptr
                                      ? store::replaceFile(request.file.c_str(), store::Content{writeUndoText, undoTextSize},
                                                           backup.c_str(), false)
                                      : store::saveStatsTo(request.file.c_str(), backup.c_str(), false);
    undoText = nullptr;
    if (result.error != 0) {
        *error = request.file + ": cannot write it: " + strerror(result.error) + "; the file as it was is kept as " + backup;
        return {kEditNotDone, ""};
    }
    if (result.unjournaled)
        fprintf(out, "\nwarning: %s was rewritten in place without a journal (none could be written: %s); a crash "
                     "during the write could have torn it\n", request.file.c_str(), strerror(result.journalError));
    if (restored != nullptr)
        fprintf(out, "\nwrote %s; the file as it was is kept as %s\n", request.file.c_str(), backup.c_str());
    else
        fprintf(out, "\nwrote %s (%u user%s); the file as it was is kept as %s\n", request.file.c_str(), nbrRec,
                nbrRec == 1 ? "" : "s", backup.c_str());
    fprintf(out, "undo with: %s undo %s\n", request.program.c_str(), shellWord(request.file).c_str());
    return {kEditDone, request.file + " was written; the file as it was is kept as " + backup};
}

// Applies every action to the tool's tables, holding the file as loaded, and returns in
// `report` what changed. False with a message naming the action at fault.
bool applyActions(const EditRequest& request, std::string* report, std::string* error) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr) {
        *error = "no memory for the report";
        return false;
    }
    fprintf(out, "%s: %u user%s; variables, as the plug-in numbers them:", request.file.c_str(), nbrRec,
            nbrRec == 1 ? "" : "s");
    for (uint32_t v = 0; v < nbrVar; ++v) fprintf(out, " %u=%s", v + 1, isVar[v].name);
    fprintf(out, "%s\n\n", nbrVar == 0 ? " none" : "");
    Editor editor(request, out);
    bool ok = true;
    for (size_t i = 0; ok && i < request.actions.size(); ++i) ok = editor.apply(request.actions[i], error);
    if (ok && editor.variablesChanged())
        fprintf(out, "\nstart the host with the variables %s (the plug-in's arguments after its name)\n",
                joined(editor.arguments()).c_str());
    fclose(out);
    if (ok) report->assign(text, size);
    free(text);
    return ok;
}

// Puts kept copy request.undoCopy back in the file's place, by edit's own write. `current` is the
// file's content, `source` its status.
EditResult undo(const EditRequest& request, const std::string& current, const struct stat& source, FILE* out,
               std::string* error) {
    std::string copy = keptCopyPath(request.file, request.undoCopy);
    std::string restored;
    struct stat entry;
    if (lstat(copy.c_str(), &entry) != 0) {
        *error = copy + ": " + (errno == ENOENT ? "no such copy: nothing to undo (each edit keeps the file as it was there)"
                                                : std::string("cannot read it: ") + strerror(errno));
        return {kEditBadInput, ""};
    }
    if (!readFile(copy, &restored, error, false)) return {kEditBadInput, ""};
    fprintf(out, "%s: puts back %s (%zu bytes)%s\n", request.file.c_str(), copy.c_str(), restored.size(),
            restored == current ? "; the file holds the same already" : "");
    if (request.dryRun) {
        fprintf(out, "\ndry run: %s is unchanged\n", request.file.c_str());
        return {kEditDone, ""};
    }
    if (outputError(out) != 0) return {kEditOutputFailed, ""};  // no file changed unreported
    return writeEditedFile(request, current, source, &restored, out, error);
}

}  // namespace

std::string keptCopyPath(const std::string& file, int n) {
    return file + kBeforeEditSuffix + (n == 0 ? "" : "." + std::to_string(n));
}

bool validVariableName(const std::string& name) {
    if (name.empty() || name.size() > kVariableNameMax) return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '=' || c == '[' || c == ']' || u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

bool parseEditActions(const std::vector<std::string>& words, std::vector<EditAction>* actions, std::string* error) {
    if (words.empty()) {
        *error = "expected actions after --, such as: -- set EIB score 12";
        return false;
    }
    for (size_t i = 0; i < words.size();) {
        EditAction action{actions->size() + 1, {}};
        auto form = kActionForms.find(words[i]);
        if (form == kActionForms.end()) {
            *error = "action " + std::to_string(action.number) + ": unknown action '" + words[i] +
                     "': expected set, reset, drop, rename-var, drop-var or stamp";
            return false;
        }
        size_t count = wordCount(form->second);
        if (i + count > words.size()) {
            action.words.assign(words.begin() + static_cast<long>(i), words.end());
            *error = actionName(action) + ": expected " + form->second;
            return false;
        }
        action.words.assign(words.begin() + static_cast<long>(i), words.begin() + static_cast<long>(i + count));
        std::string fault = checkWords(action);
        if (!fault.empty()) {
            *error = actionName(action) + ": " + fault;
            return false;
        }
        actions->push_back(action);
        i += count;
    }
    return true;
}

EditResult runEdit(const EditRequest& request, FILE* out, std::string* error) {
    if (!takeDataFolderOwner(request.file, error)) return {kEditNotDone, ""};
    struct stat found;
    if (stat(request.file.c_str(), &found) != 0) {  // a missing file is bad input, not a lock to refuse
        *error = request.file + ": cannot read the file: " + strerror(errno);
        return {kEditBadInput, ""};
    }
    EditLock lock;
    int locked = lockFile(request, &lock, out, error);
    if (locked != kEditDone) return {locked, ""};
    store::Path journal;
    if (store::journalPending(request.file.c_str(), journal)) {
        *error = request.file + ": the journal " + journal.text + " of a save cut short is pending, and the next "
                 "start of the host replays it over any edit: start and stop the host once first (or remove the "
                 "journal to give up that save); nothing was changed";
        return {kEditNotDone, ""};
    }
    std::string content;
    if (!readFile(request.file, &content, error)) return {kEditBadInput, ""};
    if (request.undoCopy >= 0) return undo(request, content, found, out, error);

    OwnStore own(request.now);
    own.addArguments(request.variables);
    for (const std::string& name : request.variables)
        if (store::variableIndex(keptName(name).c_str()) == 0) {
            *error = "--vars " + name + ": the plug-in refuses this name (it holds '=', '[', ']', a line feed or a "
                     "carriage return, which the data file cannot carry)";
            return {kEditBadInput, ""};
        }
    std::vector<std::string> unknown;  // "NAME on line N", for variables the file holds but --vars lacks
    size_t line = 0;
    auto listener = [&](const store::LineNote& note) {
        ++line;
        if (note.reading != store::LineReading::kUnknownVariable) return;
        std::string name(note.text, static_cast<size_t>(note.field - 1 - note.text));
        std::string shown = name.find_first_of(" \t") == std::string::npos ? name : "\"" + name + "\"";
        if (std::none_of(unknown.begin(), unknown.end(), [&](const std::string& u) { return u.rfind(shown + " on line ", 0) == 0; }))
            unknown.push_back(shown + " on line " + std::to_string(line));
    };
    if (!own.load(content, listener, error)) return {kEditBadInput, ""};
    if (own.loaded() != store::LoadResult::kRead) {
        *error = request.file + ": the plug-in's reader could not hold it whole (no memory for every user, or "
                 "its copy could not be read to the end); writing it would lose users, so nothing was changed";
        return {kEditNotDone, ""};
    }
    if (!unknown.empty()) {
        *error = "--vars: " + request.file + " holds values of variables not named (" + joined(unknown, ", ") +
                 "): the edit would lose them; name every variable of the server's arguments (to drop one on "
                 "purpose, name it in --vars too and add drop-var NAME)";
        return {kEditBadInput, ""};
    }
    std::string report;
    if (!applyActions(request, &report, error)) return {kEditBadInput, ""};  // nothing printed, nothing written
    fputs(report.c_str(), out);
    if (request.dryRun) {
        fprintf(out, "\ndry run: %s is unchanged\n", request.file.c_str());
        return {kEditDone, ""};
    }
    if (outputError(out) != 0) return {kEditOutputFailed, ""};  // no file changed unreported
    return writeEditedFile(request, content, found, nullptr, out, error);
}

}  // namespace simtool
