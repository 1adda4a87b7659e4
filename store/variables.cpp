// The table of statistic variables.
#include "store/variables.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "host/api.h"
#include "store/notices.h"

StatVariable* isVar = nullptr;
uint32_t nbrVar = 0;

namespace store {

namespace {
bool skippedForMemory = false;  // a name was left out because the table could not grow
}

uint32_t variableIndex(const char* name, size_t length) {
    if (isVar == nullptr || name == nullptr || length > kVariableNameMax) return 0;
    if (memchr(name, '\0', length) != nullptr) return 0;  // no entry holds a NUL before its end
    for (uint32_t i = 0; i < nbrVar; ++i) {
        const char* entry = isVar[i].name;
        if (memcmp(entry, name, length) == 0 && entry[length] == '\0') return i + 1;
    }
    return 0;
}

uint32_t variableIndex(const char* name) {
    if (isVar == nullptr || name == nullptr) return 0;
    for (uint32_t i = 0; i < nbrVar; ++i)
        if (strcmp(isVar[i].name, name) == 0) return i + 1;  // an entry is at most kVariableNameMax long
    return 0;
}

// Whether `name` holds a character that the data file's lines give a meaning: its value could
// not be read back, or its line would read as a header.
static bool holdsLineSyntax(const char* name) { return strpbrk(name, "=[]\n\r") != nullptr; }

// Whether `name` is cut by registerVariable: it is kept, and longer than kVariableNameMax.
static bool isCut(const char* name) {
    return name != nullptr && !holdsLineSyntax(name) && strnlen(name, kVariableNameMax + 1) > kVariableNameMax;
}

// Whether two names are kept as the same variable.
static bool sameKeptName(const char* a, const char* b) { return strncmp(a, b, kVariableNameMax) == 0; }

// Whether `argument` is kept as the same variable as another argument of arguments[1..count-1]
// that differs from it.
static bool sharesKeptName(const char* argument, int32_t count, char** arguments) {
    for (int32_t k = 1; k < count; ++k) {
        const char* other = arguments[k];
        if (other == nullptr || holdsLineSyntax(other)) continue;
        if (sameKeptName(argument, other) && strcmp(argument, other) != 0) return true;
    }
    return false;
}

void reportCutNames(int32_t count, char** arguments) {
    if (arguments == nullptr) return;
    for (int32_t i = count - 1; i >= 1; --i) {
        const char* argument = arguments[i];
        if (!isCut(argument)) continue;
        bool seen = false;  // given already, later in the list: reported there
        for (int32_t j = count - 1; j > i && !seen; --j) seen = arguments[j] != nullptr && strcmp(arguments[j], argument) == 0;
        if (seen) continue;
        char kept[kVariableNameMax + 1];
        memcpy(kept, argument, kVariableNameMax);
        kept[kVariableNameMax] = '\0';
        logCutName(argument, kept, sharesKeptName(argument, count, arguments));
    }
}

void registerVariable(const char* name) {
    if (name == nullptr) return;
    if (holdsLineSyntax(name)) {
        logRefusedName(name);
        return;
    }
    StatVariable cut;
    memset(cut.name, 0, sizeof cut.name);
    strncpy(cut.name, name, kVariableNameMax);
    if (variableIndex(cut.name) != 0) return;
    bool wraps = nbrVar + 1ull > SIZE_MAX / sizeof(StatVariable);  // a size that cannot be had
    void* grown = wraps ? nullptr : realloc(isVar, (nbrVar + 1) * sizeof(StatVariable));
    if (grown == nullptr) {
        skippedForMemory = true;
        return;
    }
    isVar = static_cast<StatVariable*>(grown);
    isVar[nbrVar++] = cut;
}

bool variableSkipped() { return skippedForMemory; }

void disposeVariables() {
    DisposePtr(isVar);
    isVar = nullptr;
    nbrVar = 0;
    skippedForMemory = false;
}

}  // namespace store
