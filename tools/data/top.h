// morvelt-sim top: the users of a data file ranked by one variable, as the plug-in loads them.
#pragma once

#include <stdio.h>

#include <string>

#include "tools/data/loaded_file.h"

namespace simtool {

struct TopRequest {
    LoadRequest load;
    std::string by;  // the variable to rank by
    size_t count;    // how many users to show, at least 1
};

// Writes a table of the `count` users with the highest values of `by`, highest first, ties in
// ascending key order: key, key name, value, last change. False with a message naming the
// argument at fault when the file cannot be loaded or `by` is not one of the plug-in's variables.
bool printTop(const TopRequest& request, FILE* out, std::string* error);

}  // namespace simtool
