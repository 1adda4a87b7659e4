// Helpers for tests of the data file, the timer and shutdown: header lines in the written form,
// and the record table as text that a failing test prints readably.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "sim/plugin.h"

// A header line as the plug-in writes it: "[NAME:STAMP]" with a 10-digit stamp and a line feed.
inline std::string header(const std::string& keyName, uint32_t stamp) {
    char text[40];
    snprintf(text, sizeof text, "[%s:%010u]\n", keyName.c_str(), stamp);
    return text;
}

// Each record in table order as "key stamp value...", values in variable-index order; a stamp
// equal to `now` shows as "now".
inline std::vector<std::string> recordTable(const hostsim::Plugin& plugin, uint32_t now) {
    std::vector<std::string> table;
    for (uint32_t r = 0; r < plugin.recordCount(); ++r) {
        const StatRecord& record = plugin.records()[r];
        std::string line = std::to_string(record.key) + " " +
                           (record.stamp == now ? std::string("now") : std::to_string(record.stamp));
        for (uint32_t v = 0; v < plugin.variableCount(); ++v) line += " " + std::to_string(record.values[v]);
        table.push_back(line);
    }
    return table;
}
