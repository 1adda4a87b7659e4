// The usual mistakes of a session script, told where they happen instead of as a later
// expectation that fails without saying why. Each warning is one line, "warning: PATH:LINE: ...",
// that quotes the spot, the variable and the user as written and says what the plug-in will do:
//
//   - a spot whose name is nearly "GetStats-" or "SetStats-" (another letter case, a missing or
//     different separator, one letter missing) is an ordinary spot to the plug-in;
//   - a "GetStats-" or "SetStats-" spot whose variable the variables line does not configure
//     as the plug-in keeps it (cut to 15 characters; a spot writing a longer name in full
//     reaches nothing, and is told the kept name);
//   - a change to a "SetStats-" spot by a user whose key is 1000 or less, whom the plug-in never
//     records.
// Warnings change nothing: the script runs on, and the exit status is the expectations'.
#pragma once

#include <string>
#include <vector>

#include "tools/sim/script.h"

namespace simtool {

// The warnings about the spots of the script's room declarations, in line order.
std::vector<std::string> spotWarnings(const Script& script);

// The warning about step `step`, or "" when there is none.
std::string stepWarning(const Script& script, const Step& step);

}  // namespace simtool
