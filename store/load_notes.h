// What the data file's reader makes of each line, told to a listener. The plug-in's build has no
// listener: noteLine is an empty inline function there, and its calls cost nothing. A build that
// defines MORVELT_LOAD_NOTES (the simulator tool) supplies noteLine, which loadStats then calls
// once for every line of the file, in order, so that the tool explains the file by the reader's
// own decisions rather than by rules restated beside it.
#pragma once

#include <stdint.h>

namespace store {

enum class LineReading {
    kHeader,           // a header line; `key` and `stamp` as read, `created` whether it made a record
    kValue,            // a value line that set `variable` of the current record to `read`, cut to 16 bits
    kNoRecord,         // ignored: there is no current record (no header yet, or it named no user)
    kNotAValueLine,    // ignored: neither a header nor a line holding '='
    kUnknownVariable,  // ignored: the text before the '=' names no variable
};

struct LineNote {
    LineReading reading;
    const char* text;        // the line as read, up to its first NUL
    const char* field;       // kHeader: the text after the stamp's ':' (null without one);
                             // kValue, kUnknownVariable: the text after the '='
    uint32_t key = 0;        // kHeader
    uint32_t stamp = 0;      // kHeader: as written; 0 takes the present time
    bool current = false;    // kHeader: the header made a record current
    bool created = false;    // kHeader: that record is new
    uint32_t variable = 0;   // kValue: the variable's index
    int32_t read = 0;        // kValue: the number read, before it is cut to 16 bits
};

#ifdef MORVELT_LOAD_NOTES
void noteLine(const LineNote& note);
#else
inline void noteLine(const LineNote&) {}
#endif

}  // namespace store
