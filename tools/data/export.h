// morvelt export: every user of a data file, as the plug-in loads them, in a form other
// programs read: CSV (RFC 4180, CRLF line ends) or a JSON array; docs/OPERATORS.md describes
// both, column by column.
//
//   key,key_name,stamp,stamp_utc,score,lives,gold
//   1001,EIB,1767225600,2026-01-01T00:00:00Z,12,-3,0
//
//   [{"key": 1001, "key_name": "EIB", "stamp": 1767225600, "stamp_utc": "2026-01-01T00:00:00Z",
//     "values": {"score": 12, "lives": -3, "gold": 0}}]
#pragma once

#include <stdio.h>

#include <string>

#include "tools/data/loaded_file.h"

namespace simtool {

enum class ExportFormat { kCsv, kJson };

struct ExportRequest {
    LoadRequest load;
    ExportFormat format;
};

// Writes every record in table order, variables in the plug-in's order. False with a message
// when the file cannot be loaded.
bool exportRecords(const ExportRequest& request, FILE* out, std::string* error);

// One CSV field: quoted, with its quotes doubled, when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

// The whole export of `loaded` in `format`.
std::string formatExport(const LoadedFile& loaded, ExportFormat format);

}  // namespace simtool
