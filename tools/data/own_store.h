// The plug-in's own statistics store (variable table, records, data-file reader and writer),
// built into the tool with tables of its own that nothing outside the tool sees. The tool reads
// a file with the very code the plug-in runs, so that its explanations and edits follow the
// plug-in's rules by construction. While an OwnStore lives, the store's globals (isVar, nbrVar,
// isRec, nbrRec) in the tool are its tables.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/host.h"
#include "store/load_notes.h"

namespace simtool {

using LineListener = std::function<void(const store::LineNote&)>;

// The tool's tables for the length of one use. Their blocks come from a simulated host's
// allocator and the reader's present time is that host's clock, as in the plug-in: the host
// that exists already (a test's), or one of the OwnStore's own. One OwnStore exists at a time.
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

  private:
    std::unique_ptr<hostsim::Host> ownHost_;  // when no host existed before
    hostsim::Host* host_;
};

}  // namespace simtool
