// The plug-in's tables as plain values, for tests that compare them from one moment to the next
// and with the data file: a copy of the record table with values by variable name, the data
// file's text rendered from such a copy, and a check that the tables are well formed.
#pragma once

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/host.h"

namespace tableview {

struct Record {
    uint32_t key;
    uint32_t stamp;
    std::map<std::string, int16_t> values;  // by variable name
};

struct Table {
    std::vector<std::string> variables;  // in index order
    std::vector<Record> records;         // in table order

    const Record* find(uint32_t key) const {
        for (const Record& r : records)
            if (r.key == key) return &r;
        return nullptr;
    }
};

inline Table copyOf(hostsim::Host& host) {
    Table table;
    hostsim::Plugin& p = host.plugin();
    for (uint32_t v = 0; v < p.variableCount(); ++v) table.variables.push_back(p.variables()[v].name);
    for (uint32_t r = 0; r < p.recordCount(); ++r) {
        const StatRecord& record = p.records()[r];
        Record copy{record.key, record.stamp, {}};
        for (uint32_t v = 0; v < p.variableCount(); ++v)
            if (record.values != nullptr) copy.values.emplace(table.variables[v], record.values[v]);
        table.records.push_back(copy);
    }
    return table;
}

// The key name of `key`: base 13, least significant digit first, digits "EFGHABCDMNOPI".
inline std::string keyName(uint32_t key) {
    std::string name;
    for (; key != 0; key /= 13) name += "EFGHABCDMNOPI"[key % 13];
    return name;
}

// The data file that holds `table`.
inline std::string render(const Table& table) {
    std::string text;
    char stamp[16];
    for (const Record& r : table.records) {
        snprintf(stamp, sizeof stamp, "%010u", r.stamp);
        text += "[" + keyName(r.key) + ":" + stamp + "]\n";
        for (const std::string& name : table.variables) {
            auto it = r.values.find(name);
            text += name + "=" + std::to_string(it == r.values.end() ? 0 : it->second) + "\n";
        }
    }
    return text;
}

// What the plug-in built for tests reports of its key index: "" when the index agrees with the
// record table and every lookup since the last report agreed with a scan of the table (always
// "" for a plug-in without the check). Sets *complete, when given, to whether the index was
// complete (lookups through it) rather than left to the scan for want of memory.
inline std::string indexDefect(hostsim::Host& host, bool* complete = nullptr) {
    hostsim::Plugin& p = host.plugin();
    int32_t whole = 1;
    std::string defect = p.indexCheck != nullptr ? p.indexCheck(&whole) : "";
    if (complete != nullptr) *complete = whole != 0;
    return defect.empty() ? "" : "key index: " + defect;
}

// What is wrong with the plug-in's tables, or "" when they are well formed: the counts agree
// with the blocks, keys are unique and above the floor, every record has a value array (but with
// no variables, where it may lack one), those arrays are the only host blocks alive, and the key
// index (in the plug-in built for tests) agrees with the table.
inline std::string defects(hostsim::Host& host) {
    hostsim::Plugin& p = host.plugin();
    if (std::string index = indexDefect(host); !index.empty()) return index;
    if ((p.recordCount() == 0) != (p.records() == nullptr)) return "record count and table disagree";
    if ((p.variableCount() == 0) != (p.variables() == nullptr)) return "variable count and table disagree";
    std::set<uint32_t> keys;
    size_t arrays = 0;
    for (uint32_t r = 0; r < p.recordCount(); ++r) {
        const StatRecord& record = p.records()[r];
        if (record.key <= 1000) return "record " + std::to_string(r) + " has key " + std::to_string(record.key);
        if (!keys.insert(record.key).second) return "key " + std::to_string(record.key) + " twice";
        if (record.values != nullptr) ++arrays;
        else if (p.variableCount() != 0) return "record " + std::to_string(r) + " has no values";
    }
    if (host.memory().liveBlocks != arrays)
        return std::to_string(host.memory().liveBlocks) + " host blocks live for " + std::to_string(arrays) +
               " value arrays";
    return "";
}

}  // namespace tableview
