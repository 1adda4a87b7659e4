// Inspecting a data file: it is loaded through the real plug-in, in a folder of the tool's own,
// with the variables an operator names, and shown one row per user, with every line that the
// plug-in ignores or reads otherwise than it is written. The file itself is only read.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace simtool {

struct InspectRequest {
    std::string file;                    // the data file to inspect
    std::vector<std::string> variables;  // the plug-in's arguments after its own name
    uint64_t now;                        // the clock the plug-in sees
    std::string plugin;                  // the library to load
};

// A remark on one line of a data file.
struct LineNote {
    size_t line;       // 1-based
    bool ignored;      // the plug-in skips the line; otherwise it reads it, but not as written
    std::string text;  // the line as written
    std::string why;
};

// What the plug-in's load makes of each line of `content`, given its variable table (in index
// order) and the present time. Lines read as written get no note.
std::vector<LineNote> explainDataFile(const std::string& content, const std::vector<std::string>& variables);

// Runs the inspection and writes its report. False with a message when the file cannot be
// read, the library cannot be loaded, or no folder can be made.
bool inspectDataFile(const InspectRequest& request, FILE* out, std::string* error);

}  // namespace simtool
