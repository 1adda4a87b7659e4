// A data file as the plug-in loads it.
#include "tools/data/loaded_file.h"

#include "store/key_names.h"
#include "store/records.h"
#include "store/variables.h"
#include "tools/common/folder_owner.h"
#include "tools/data/own_store.h"

namespace simtool {

namespace {

// Copies the tool's tables, as the store left them, into `loaded`.
void readTables(LoadedFile* loaded) {
    for (uint32_t v = 0; v < nbrVar; ++v) loaded->variables.push_back(isVar[v].name);
    for (uint32_t r = 0; r < nbrRec; ++r) {
        const StatRecord& record = isRec[r];
        LoadedRecord copy{record.key, record.stamp, {}};
        for (uint32_t v = 0; v < nbrVar; ++v) copy.values.push_back(record.values != nullptr ? record.values[v] : 0);
        loaded->records.push_back(std::move(copy));
    }
}

}  // namespace

bool loadDataFile(const LoadRequest& request, LoadedFile* loaded, std::string* error) {
    if (!readDataFile(request.file, &loaded->content, error)) return false;
    OwnStore own(request.now);
    own.addArguments(request.variables);
    if (!own.load(loaded->content, LineListener(), error)) return false;
    readTables(loaded);
    return true;
}

int variablePosition(const LoadedFile& loaded, const std::string& name) {
    for (size_t v = 0; v < loaded.variables.size(); ++v)
        if (loaded.variables[v] == name) return static_cast<int>(v);
    return -1;
}

std::string variableList(const LoadedFile& loaded) {
    std::string list;
    for (const std::string& v : loaded.variables) list += (list.empty() ? "" : ", ") + v;
    return list.empty() ? "none" : list;
}

std::string keyName(uint32_t key) {
    char name[store::kKeyNameBuffer];
    store::encodeKeyName(key, name);
    return name;
}

}  // namespace simtool
