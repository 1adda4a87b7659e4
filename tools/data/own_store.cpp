// The plug-in's own statistics store, built into the tool.
#include "tools/data/own_store.h"

#include "host/api.h"
#include "store/data_file.h"
#include "store/records.h"
#include "store/variables.h"
#include "tools/common/run_folder.h"

namespace store {

namespace {
const simtool::LineListener* listener = nullptr;  // the load in progress's, or null
}

void noteLine(const LineNote& note) {
    if (listener != nullptr && *listener) (*listener)(note);
}

}  // namespace store

namespace simtool {

uint32_t OwnStore::now_ = 0;

uint32_t OwnStore::clock() { return now_; }

OwnStore::OwnStore(uint64_t now) {
    now_ = static_cast<uint32_t>(now);
    store::toolClock = clock;
}

OwnStore::~OwnStore() {
    store::toolClock = nullptr;
    store::disposeRecords();
    store::disposeVariables();
}

void OwnStore::addVariables(const std::vector<std::string>& names) {
    for (const std::string& name : names) store::registerVariable(name.c_str());
}

void OwnStore::addArguments(const std::vector<std::string>& arguments) {
    for (auto a = arguments.rbegin(); a != arguments.rend(); ++a) store::registerVariable(a->c_str());
}

bool OwnStore::load(const std::string& content, const LineListener& listener, std::string* error) {
    RunFolder folder;
    if (!folder.enter("", error) || !writeNewFile(store::kDataPath, content, error)) return false;
    store::listener = &listener;
    loaded_ = store::loadStats();
    store::listener = nullptr;
    store::resetSaveState();
    return true;
}

}  // namespace simtool
