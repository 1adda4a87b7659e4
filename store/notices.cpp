// Lines in the host's log about the data file and the variable names.
#include "store/notices.h"

#include <stddef.h>
#include <string.h>

#include "host/api.h"

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

void logRefusedName(const char* name) {
    char shown[kShownMax + 4];
    escapeName(name, shown);
    FormattedLogMessage(0, kSource,
                        "variable name \"%s\" refused: a name holding '=', '[', ']', a line feed or a carriage "
                        "return cannot be kept in psdata/morvelt.ini.",
                        shown);
}

}  // namespace store
