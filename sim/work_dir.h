// A folder of its own for a simulated host: a fresh temporary folder holding an empty "psdata",
// made the working directory while the WorkDir lives and removed with everything in it after.
#pragma once

#include <string>

namespace hostsim {

class WorkDir {
  public:
    WorkDir();
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const std::string& path() const { return path_; }

    // The whole content of the file at `relative` (to the folder), or "" when it cannot be read.
    std::string read(const std::string& relative) const;
    // Replaces the file at `relative` with `content`; false on any error.
    bool write(const std::string& relative, const std::string& content) const;
    bool exists(const std::string& relative) const;

  private:
    std::string path_;
    std::string previous_;
};

}  // namespace hostsim
