// A data file as the plug-in loads it: read with the plug-in's own reader, built into the tool
// (tools/data/own_store.h), with the variables an operator names, and copied out of the tool's
// tables. The file itself is only read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace simtool {

struct LoadRequest {
    std::string file;                    // the data file
    std::vector<std::string> variables;  // the plug-in's arguments after its own name
    uint64_t now;                        // the present time: a header without a stamp gets it
};

struct LoadedRecord {
    uint32_t key;
    uint32_t stamp;
    std::vector<int16_t> values;  // one per variable, in the plug-in's order
};

struct LoadedFile {
    std::string content;                 // the file as read
    std::vector<std::string> variables;  // as the plug-in numbers them: variable 1 first
    std::vector<LoadedRecord> records;   // in the plug-in's table order
};

// Loads `request.file` as the plug-in's start-up would. False with a message when the file
// cannot be read or no folder can be made.
bool loadDataFile(const LoadRequest& request, LoadedFile* loaded, std::string* error);

// The index of `name` in `loaded.variables`, compared as the plug-in compares names; -1 if none.
int variablePosition(const LoadedFile& loaded, const std::string& name);

// The names of `loaded.variables`, comma-separated, or "none".
std::string variableList(const LoadedFile& loaded);

// The key name of `key`, as the data file writes it.
std::string keyName(uint32_t key);

}  // namespace simtool
