// Lines in the host's log about the data file and the variable names.
#include "store/notices.h"

#include <stddef.h>
#include <string.h>

#include "host/api.h"
#include "store/file_status.h"

namespace store {

namespace {

constexpr char kSource[] = "Morvelt";
constexpr size_t kShownMax = 200;  // bytes of a name shown, escapes included

// `name` in `out` (kShownMax + 4 bytes), with a backslash, line feed, carriage return, tab and
// every other control character escaped, cut with "..." where it is too long.
void escapeName(const char* name, char* out) {
    static const char kHex[] = "0123456789abcdef";
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p != '\0'; ++p) {
        char escaped[5] = {'\\', 0, 0, 0, 0};
        unsigned char c = *p;
        if (c == '\\') escaped[1] = '\\';
        else if (c == '\n') escaped[1] = 'n';
        else if (c == '\r') escaped[1] = 'r';
        else if (c == '\t') escaped[1] = 't';
        else if (c < 0x20 || c == 0x7f) {
            escaped[1] = 'x';
            escaped[2] = kHex[c >> 4];
            escaped[3] = kHex[c & 15];
        } else {
            escaped[0] = static_cast<char>(c);
        }
        size_t length = strlen(escaped);
        if (used + length > kShownMax) {
            memcpy(out + used, "...", 3);
            used += 3;
            break;
        }
        memcpy(out + used, escaped, length);
        used += length;
    }
    out[used] = '\0';
}

}  // namespace

void logUnreadable(int error) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini cannot be read: %s. It is left as it is, and nothing is saved until "
                        "the host is restarted with the file readable.",
                        strerror(error));
}

void logNotRegular(unsigned mode) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini cannot be read: it is %s, not a regular file. It is left as it is, and "
                        "nothing is saved until the host is restarted with a regular file there.",
                        fileKind(static_cast<mode_t>(mode)));
}

void logJournalReplayed(const char* journal) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini: a save cut short by a crash was finished from its journal %s.",
                        journal);
}

void logReplayFailed(const char* journal, int error) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini: a save cut short by a crash cannot be finished from its journal "
                        "%s: %s. The file may be torn; the journal is kept, and nothing is saved until the host "
                        "is restarted and the journal replayed.",
                        journal, strerror(error));
}

void logNoJournal(int error) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini is rewritten in place without a journal: none can be written in its "
                        "folder, $TMPDIR, /var/tmp or /tmp (%s). A crash during such a save can tear the file.",
                        strerror(error));
}

void logSaveFailed(int error) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini cannot be saved: %s. The statistics stay in memory; every timer "
                        "event tries again.",
                        strerror(error));
}

void logSaveWorks() { FormattedLogMessage(0, kSource, "psdata/morvelt.ini is saved again."); }

void logBackupFailed(int error) {
    FormattedLogMessage(0, kSource,
                        "psdata/morvelt.ini.bak cannot be made: %s. Saving goes on without a backup of the "
                        "file found at start-up.",
                        strerror(error));
}

void logLocked(const char* path) {
    FormattedLogMessage(0, kSource,
                        "%s is locked by another program (morvelt edit?). The plug-in goes on without "
                        "its lock, so an edit cannot tell that this host is running.",
                        path);
}

void logClockSilent() {
    FormattedLogMessage(0, kSource,
                        "no clock answers: users are stamped with the last time read and none is expired until "
                        "a clock answers again.");
}

void logClockAnswers() { FormattedLogMessage(0, kSource, "the clock answers again."); }

void logRefusedName(const char* name) {
    char shown[kShownMax + 4];
    escapeName(name, shown);
    FormattedLogMessage(0, kSource,
                        "variable name \"%s\" refused: a name holding '=', '[', ']', a line feed or a carriage "
                        "return cannot be kept in psdata/morvelt.ini.",
                        shown);
}

void logCutName(const char* given, const char* kept, bool shared) {
    char shownGiven[kShownMax + 4];
    char shownKept[kShownMax + 4];
    escapeName(given, shownGiven);
    escapeName(kept, shownKept);
    FormattedLogMessage(0, kSource,
                        shared ? "variable name \"%s\" is kept as \"%s\" (names are cut to 15 characters), as is "
                                 "another argument: they are one variable. Spots must use the kept name."
                               : "variable name \"%s\" is kept as \"%s\" (names are cut to 15 characters). Spots "
                                 "must use the kept name.",
                        shownGiven, shownKept);
}

}  // namespace store
