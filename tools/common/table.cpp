// Plain-text tables.
#include "tools/common/table.h"

namespace simtool {

void Table::print(FILE* out, const std::string& indent) const {
    std::vector<size_t> widths;
    for (const auto& row : rows_)
        for (size_t c = 0; c < row.size(); ++c) {
            if (widths.size() <= c) widths.push_back(0);
            if (row[c].size() > widths[c]) widths[c] = row[c].size();
        }
    for (const auto& row : rows_) {
        std::string line = indent;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    }
}

}  // namespace simtool
