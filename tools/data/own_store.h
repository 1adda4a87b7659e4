// The plug-in's own statistics store (variable table, records, data-file reader and writer),
// built into the tool with tables of its own that nothing outside the tool sees. The tool reads
// a file with the very code the plug-in runs, so that its explanations and edits follow the
// plug-in's rules by construction. While an OwnStore lives, the store's globals (isVar, nbrVar,
// isRec, nbrRec) in the tool are its tables.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "store/data_file.h"
#include "store/load_notes.h"

namespace simtool {

using LineListener = std::function<void(const store::LineNote&)>;

// The tool's tables for the length of one use. Their blocks come from the host functions linked
// into the program (the C library's heap in morvelt, tools/data/tool_host.cpp; a simulated
// host's in a test), and the reader's present time is the `now` given, through the store's
// toolClock. One OwnStore exists at a time.
class OwnStore {
  public:
    explicit OwnStore(uint64_t now);
    ~OwnStore();
    OwnStore(const OwnStore&) = delete;
    OwnStore& operator=(const OwnStore&) = delete;

    // Adds variables in index order: names[0] becomes variable 1.
    void addVariables(const std::vector<std::string>& names);
    // Adds variables as the plug-in adds its arguments: the last one becomes variable 1.
    void addArguments(const std::vector<std::string>& arguments);

    // Reads `content` as the data file, in a temporary folder of its own, telling `listener`
    // (when given) what the reader makes of each line. False with a message when no folder can
    // be made.
    bool load(const std::string& content, const LineListener& listener, std::string* error);
    // What the last load made of the file: kRead only where the tables hold all of it.
    store::LoadResult loaded() const { return loaded_; }

  private:
    static uint32_t clock();
    static uint32_t now_;  // what clock() returns while an OwnStore lives
    store::LoadResult loaded_ = store::LoadResult::kMissing;
};

}  // namespace simtool
