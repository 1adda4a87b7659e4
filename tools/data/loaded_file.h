// A data file as the real plug-in loads it: the library is started in a temporary folder of the
// tool's own on a copy of the file, with the variables an operator names, and its tables are
// read back through its exported globals. The file itself is only read.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace simtool {

struct PluginLoadRequest {
    std::string file;                    // the data file
    std::vector<std::string> variables;  // the plug-in's arguments after its own name
    uint64_t now;                        // the clock the plug-in sees: a header without a stamp gets it
    std::string plugin;                  // the library to load
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

// Loads `request.file` through the plug-in. False with a message when the file cannot be read,
// the library cannot be loaded, or no folder can be made.
bool loadThroughPlugin(const PluginLoadRequest& request, LoadedFile* loaded, std::string* error);

// The index of `name` in `loaded.variables`, compared as the plug-in compares names; -1 if none.
int variablePosition(const LoadedFile& loaded, const std::string& name);

// The names of `loaded.variables`, comma-separated, or "none".
std::string variableList(const LoadedFile& loaded);

// The key name of `key`, as the data file writes it.
std::string keyName(uint32_t key);

}  // namespace simtool
