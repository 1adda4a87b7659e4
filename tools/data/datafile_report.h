// Inspecting a data file: it is loaded through the real plug-in, in a folder of the tool's own,
// with the variables an operator names, and shown one row per user. Every line that the reader
// ignores or reads otherwise than it is written is listed with the reason, as the plug-in's own
// reader, built into the tool, tells it. The file itself is only read.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tools/data/loaded_file.h"

namespace simtool {

// A remark on one line of a data file.
struct LineRemark {
    size_t line;       // 1-based
    bool ignored;      // the reader skips the line; otherwise it reads it, but not as written
    std::string text;  // the line as read, up to its first NUL
    std::string why;
};

struct Explanation {
    size_t lines = 0;                 // as the reader counts them
    std::vector<LineRemark> remarks;  // in line order; lines read as written get none
};

// What the plug-in's reader makes of each line of `content`, given the variable table in index
// order, at the present time `now`. False with a message when no folder can be made.
bool explainDataFile(const std::string& content, const std::vector<std::string>& variables, uint64_t now,
                     Explanation* explanation, std::string* error);

// Runs the inspection and writes its report. False with a message when the file cannot be
// read, the library cannot be loaded, or no folder can be made.
bool inspectDataFile(const LoadRequest& request, FILE* out, std::string* error);

// The start of `text` as a report quotes it: control characters spelled out, and cut with "..."
// after 48 characters.
std::string quoted(const std::string& text);

}  // namespace simtool
