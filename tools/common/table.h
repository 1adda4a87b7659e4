// Plain-text tables with aligned columns, for the simulator tool's reports.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

namespace simtool {

class Table {
  public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    // Writes the header and the rows, each line started by `indent`, columns two blanks apart.
    void print(FILE* out, const std::string& indent) const;

  private:
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace simtool
