// The folder a simulated host runs in, made its working directory: a fresh temporary folder,
// removed afterwards, or a folder the user chose, kept. Either way it holds "psdata" and no data
// file from before, so the plug-in never overwrites a file nobody asked it to write.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>

#include "sim/work_dir.h"

namespace simtool {

class RunFolder {
  public:
    RunFolder() = default;
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    // Enters `chosen`, creating it and its psdata folder as needed, or a temporary folder when
    // `chosen` is empty. Run as root, first becomes the owner of `chosen`'s psdata folder (or of
    // `chosen`, or of the folder it is made in, the first that exists) where another user owns
    // it (tools/common/folder_owner.h). Fails, changing nothing, when `chosen` already holds a data file
    // (or its backup), or cannot be made or entered, or that owner cannot be become.
    bool enter(const std::string& chosen, std::string* error);

    // Where the host runs, as an absolute path.
    const std::string& path() const;
    bool temporary() const { return temp_ != nullptr; }

  private:
    std::unique_ptr<hostsim::WorkDir> temp_;
    std::string chosen_;
    std::string previous_;
};

// Copies the file at `from` to a new file at `to`, byte for byte; false with a message on any
// error, and when `to` exists already.
bool copyFile(const std::string& from, const std::string& to, std::string* error);

// Writes `content` into a new file at `to`; false with a message when the file exists already
// or cannot be written.
bool writeNewFile(const std::string& to, const std::string& content, std::string* error);

// The most a file read by the tool may hold: a data file of this size holds millions of users.
constexpr uint64_t kReadLimit = uint64_t{256} << 20;

// The whole content of the file at `path`; false with a message when it cannot be read, is not
// a regular file or holds more than kReadLimit bytes, or, unless `followLinks`, is a symbolic link.
bool readFile(const std::string& path, std::string* content, std::string* error, bool followLinks = true);

}  // namespace simtool
