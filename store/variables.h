// The table of statistic variables, built from the plug-in's arguments at start-up and
// read-only afterwards. A variable's index is its 1-based position in the table; index 0
// means no such variable.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "host/export.h"

constexpr uint32_t kVariableNameMax = 15;  // longer names are cut to this many characters

struct StatVariable {
    char name[kVariableNameMax + 1];  // NUL-terminated; bytes after the NUL mean nothing
};

PLUGIN_EXPORT StatVariable* isVar;  // the table, or null while it is empty
PLUGIN_EXPORT uint32_t nbrVar;      // its number of entries

namespace store {

// Adds `name`, cut to kVariableNameMax characters, at the end of the table, unless it is null
// or the cut name is already present. A name holding '=', '[', ']', a line feed or a carriage
// return is refused with a line in the host's log: the data file could not carry it. When the
// table cannot grow, it stays as it is and the name is skipped.
void registerVariable(const char* name);

// Logs one line for each distinct argument of arguments[1..count-1] (a null list or argument
// adds none) that registerVariable keeps cut, naming it as given and as kept, and whether
// another argument is kept as the same variable. A refused argument gets no such line.
void reportCutNames(int32_t count, char** arguments);

// Whether a name was left out since the table was last given back because the table could not
// grow: the data file's values for it would be lost at the next save.
bool variableSkipped();

// Gives the table back with DisposePtr; afterwards it is empty.
void disposeVariables();

// The index of the first entry equal to `name` byte for byte, or 0 (also for null).
uint32_t variableIndex(const char* name);

// As variableIndex, for a name given by pointer and length, which need not be NUL-terminated.
uint32_t variableIndex(const char* name, size_t length);

}  // namespace store
