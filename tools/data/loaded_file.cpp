// A data file as the real plug-in loads it.
#include "tools/data/loaded_file.h"

#include "sim/host.h"
#include "store/data_file.h"
#include "store/key_names.h"
#include "tools/common/run_folder.h"

namespace simtool {

namespace {

constexpr char kPluginName[] = "morvelt";

// Copies the plug-in's tables out of `plugin`.
void readTables(const hostsim::Plugin& plugin, LoadedFile* loaded) {
    for (uint32_t v = 0; v < plugin.variableCount(); ++v) loaded->variables.push_back(plugin.variables()[v].name);
    for (uint32_t r = 0; r < plugin.recordCount(); ++r) {
        const StatRecord& record = plugin.records()[r];
        LoadedRecord copy{record.key, record.stamp, {}};
        for (uint32_t v = 0; v < plugin.variableCount(); ++v)
            copy.values.push_back(record.values != nullptr ? record.values[v] : 0);
        loaded->records.push_back(std::move(copy));
    }
}

}  // namespace

bool loadThroughPlugin(const PluginLoadRequest& request, LoadedFile* loaded, std::string* error) {
    if (!readFile(request.file, &loaded->content, error)) return false;
    RunFolder folder;  // made first, left last: the plug-in's shutdown writes only there
    hostsim::Host host;
    if (!host.load(request.plugin, error) || !folder.enter("", error)) return false;
    if (!writeNewFile(store::kDataPath, loaded->content, error)) return false;
    host.setNow(request.now);
    std::vector<std::string> arguments{kPluginName};
    arguments.insert(arguments.end(), request.variables.begin(), request.variables.end());
    host.start(arguments);
    readTables(host.plugin(), loaded);
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
