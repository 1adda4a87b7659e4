// morvelt-sim top.
#include "tools/data/top.h"

#include <algorithm>

#include "tools/common/clock_text.h"
#include "tools/common/table.h"

namespace simtool {

bool printTop(const TopRequest& request, FILE* out, std::string* error) {
    LoadedFile loaded;
    if (!loadDataFile(request.load, &loaded, error)) return false;
    int by = variablePosition(loaded, request.by);
    if (by < 0) {
        *error = "--by " + request.by + ": not one of the plug-in's variables (" + variableList(loaded) + ")";
        return false;
    }
    std::vector<const LoadedRecord*> ranked;
    for (const LoadedRecord& record : loaded.records) ranked.push_back(&record);
    std::sort(ranked.begin(), ranked.end(), [by](const LoadedRecord* a, const LoadedRecord* b) {
        if (a->values[by] != b->values[by]) return a->values[by] > b->values[by];
        return a->key < b->key;
    });
    size_t shown = std::min(request.count, ranked.size());
    fprintf(out, "%s: %zu of %zu user%s by %s, highest first\n\n", request.load.file.c_str(), shown, ranked.size(),
            ranked.size() == 1 ? "" : "s", request.by.c_str());
    if (shown == 0) return true;
    Table table({"key", "key name", request.by, "last change (UTC)"});
    for (size_t i = 0; i < shown; ++i) {
        const LoadedRecord& record = *ranked[i];
        table.add({std::to_string(record.key), keyName(record.key), std::to_string(record.values[by]),
                   formatDate(record.stamp)});
    }
    table.print(out, "  ");
    return true;
}

}  // namespace simtool
