// The folder a simulated host runs in.
#include "tools/common/run_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/data_file.h"
#include "store/file_status.h"
#include "tools/common/folder_owner.h"

namespace simtool {

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Makes the folder at `path` unless it is one already.
bool makeFolder(const std::string& path, std::string* error) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *error = path + ": not a folder";
        return false;
    }
    if (mkdir(path.c_str(), 0755) != 0) {
        *error = path + ": cannot make the folder: " + strerror(errno);
        return false;
    }
    return true;
}

// Whether a file of `size` bytes at `path` may be read; false with a message naming `path`
// otherwise.
bool readableSize(uint64_t size, const std::string& path, std::string* error) {
    if (size > kReadLimit) {
        *error = path + ": " + std::to_string(size) + " bytes, more than the " +
                 std::to_string(kReadLimit >> 20) + " MiB the tool reads";
        return false;
    }
    return true;
}

// The whole content of the open file `fd`; false with a message naming `path`.
bool readAll(int fd, const std::string& path, std::string* content, std::string* error) {
    content->clear();
    char buffer[64 * 1024];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0) return true;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = path + ": cannot read the file: " + strerror(errno);
            return false;
        }
        if (content->size() + static_cast<size_t>(n) > kReadLimit) {
            *error = path + ": grew past " + std::to_string(kReadLimit >> 20) + " MiB while it was read";
            return false;
        }
        content->append(buffer, static_cast<size_t>(n));
    }
}

// The folder whose owner the host's data folder in `chosen` belongs to: its psdata folder, else
// `chosen` itself, else the folder `chosen` is to be made in, whichever exists first.
std::string owningFolder(const std::string& chosen) {
    for (const std::string& folder : {chosen + "/" + store::kDataDir, chosen})
        if (exists(folder)) return folder;
    return folderOf(chosen);
}

}  // namespace

RunFolder::~RunFolder() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) perror("morvelt-sim: cannot leave the working folder");
}

bool RunFolder::enter(const std::string& chosen, std::string* error) {
    if (chosen.empty()) {
        temp_.reset(new hostsim::WorkDir());
        return true;
    }
    if (!takeFolderOwner(owningFolder(chosen), error) || !rootOnlyPath(chosen + "/" + store::kDataPath, error))
        return false;
    for (const char* file : {store::kDataPath, store::kBackupPath}) {
        if (exists(chosen + "/" + file)) {
            *error = chosen + ": holds " + file + " already, and the simulator never writes over a data file: "
                     "expected a folder without one (a script starts from a copy of a file with 'datafile PATH')";
            return false;
        }
    }
    if (!makeFolder(chosen, error) || !makeFolder(chosen + "/" + store::kDataDir, error)) return false;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(chosen.c_str()) != 0) {
        *error = chosen + ": cannot enter the folder: " + strerror(errno);
        return false;
    }
    previous_ = cwd;
    char here[PATH_MAX];
    chosen_ = getcwd(here, sizeof here) != nullptr ? here : chosen;
    return true;
}

const std::string& RunFolder::path() const { return temp_ != nullptr ? temp_->path() : chosen_; }

bool readFile(const std::string& path, std::string* content, std::string* error, bool followLinks) {
    // The plug-in's own rule: a FIFO is refused without waiting for a writer, and a device such
    // as /dev/zero, which would never end, is never read.
    int fd;
    uint64_t size;
    mode_t mode;
    switch (store::openRegularFile(path.c_str(), fd, size, mode, followLinks ? 0 : O_NOFOLLOW)) {
        case store::OpenedFile::kFailed: {
            int failed = errno;
            *error = failed == ELOOP && !followLinks
                         ? path + ": is a symbolic link, not a file the tool made: it is not followed"
                         : path + ": cannot read the file: " + strerror(failed);
            return false;
        }
        case store::OpenedFile::kNotRegular:
            *error = path + ": expected an ordinary file, and this is a device, folder or pipe";
            return false;
        case store::OpenedFile::kRegular:
            break;
    }
    bool ok = readableSize(size, path, error) && readAll(fd, path, content, error);
    close(fd);
    return ok;
}

bool copyFile(const std::string& from, const std::string& to, std::string* error) {
    std::string content;
    return readFile(from, &content, error) && writeNewFile(to, content, error);
}

bool writeNewFile(const std::string& to, const std::string& content, std::string* error) {
    FILE* f = fopen(to.c_str(), "wbx");  // never replaces a file
    if (f == nullptr) {
        *error = to + ": cannot create the file: " + strerror(errno);
        return false;
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) *error = to + ": cannot write the file";
    return ok;
}

}  // namespace simtool
