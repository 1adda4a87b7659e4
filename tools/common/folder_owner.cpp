// Becoming the owner of a folder before using a data file in it, or making sure that staying
// root is safe.
#include "tools/common/folder_owner.h"

#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "tools/common/run_folder.h"

namespace simtool {

namespace {

constexpr int kLinkLimit = 40;  // as the system allows before ELOOP

// The folder `file` is named in where its owner is not root, else the folder of the file `file`
// leads to where its owner is not root, with its status in `owner`; "" where both are root's or
// do not exist.
std::string foreignOwnedFolder(const std::string& file, struct stat* owner) {
    std::string named = folderOf(file);
    if (stat(named.c_str(), owner) == 0 && owner->st_uid != 0) return named;
    char* real = realpath(file.c_str(), nullptr);
    if (real == nullptr) return "";
    std::string target = folderOf(real);
    free(real);
    return stat(target.c_str(), owner) == 0 && owner->st_uid != 0 ? target : "";
}

std::string octal(mode_t mode) {
    char text[8];
    snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Who besides root can change the folder whose status is `folder` as it holds the entry `name`,
// whose status is `entry` (null where there is none); "" where no one can. `last` where the
// entry is the last name on the path: the sticky bit excuses nothing there.
std::string whoElseChanges(const struct stat& folder, const std::string& name, const struct stat* entry, bool last) {
    if (folder.st_uid != 0) return "its owner, user " + std::to_string(folder.st_uid);
    if ((folder.st_mode & 022) == 0) return "";
    bool sticky = (folder.st_mode & S_ISVTX) != 0;
    if (sticky && !last && entry != nullptr && entry->st_uid == 0) return "";
    if (sticky && entry != nullptr && entry->st_uid != 0)
        return "user " + std::to_string(entry->st_uid) + ", who owns its entry " + name;
    if (folder.st_mode & 002) return "every user (mode " + octal(folder.st_mode) + ")";
    return "group " + std::to_string(folder.st_gid) + " (mode " + octal(folder.st_mode) + ")";
}

// The names of `path` between its slashes, last first.
std::vector<std::string> namesLastFirst(const std::string& path) {
    std::vector<std::string> names;
    size_t end = path.size();
    while (end > 0) {
        size_t slash = path.find_last_of('/', end - 1);
        size_t begin = slash == std::string::npos ? 0 : slash + 1;
        if (end > begin) names.push_back(path.substr(begin, end - begin));
        if (slash == std::string::npos) break;
        end = slash;
    }
    return names;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Runs `job` with the effective user and groups of the owner in `owner`, then returns to root's
// own: true where every change worked and `job` did; false with a message otherwise.
template <typename Job>
bool asOwner(const struct stat& owner, const std::string& file, Job job, std::string* error) {
    int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    if (count < 0 || getgroups(count, groups.data()) != count) {
        *error = file + ": cannot read root's groups before reading the file as its folder's owner: " + strerror(errno);
        return false;
    }
    gid_t group = getegid();
    gid_t ownerGroup = owner.st_gid;
    const char* step = setgroups(1, &ownerGroup) != 0 ? "setgroups"
                       : setegid(ownerGroup) != 0     ? "setegid"
                       : seteuid(owner.st_uid) != 0   ? "seteuid"
                                                      : nullptr;
    bool ok = step == nullptr && job();
    if (step == nullptr && !ok)
        *error += " (read as its folder's owner, user " + std::to_string(owner.st_uid) + ", as a tool run as root does)";
    if (step != nullptr)
        *error = file + ": cannot read it as its folder's owner (user " + std::to_string(owner.st_uid) + ", group " +
                 std::to_string(ownerGroup) + "), as a tool run as root must: " + step + ": " + strerror(errno);
    if (seteuid(0) != 0 || setegid(group) != 0 || setgroups(groups.size(), groups.data()) != 0) {
        *error = file + ": cannot return to root's identity after reading it: " + strerror(errno);
        return false;
    }
    return ok;
}

// Becomes for good the user whose folder `folder` has the status `found`, with its group alone.
// False with a message naming the step that failed.
bool becomeOwner(const struct stat& found, const std::string& folder, std::string* error) {
    gid_t group = found.st_gid;
    const char* step = setgroups(1, &group) != 0 ? "setgroups"
                       : setgid(group) != 0      ? "setgid"
                       : setuid(found.st_uid) != 0 ? "setuid"
                                                   : nullptr;
    if (step == nullptr) return true;
    *error = folder + ": cannot become its owner (user " + std::to_string(found.st_uid) + ", group " +
             std::to_string(group) + ") before writing there, as a tool run as root must: " + step + ": " +
             strerror(errno);
    return false;
}

}  // namespace

bool takeFolderOwner(const std::string& folder, std::string* error) {
    struct stat found;
    if (geteuid() != 0 || stat(folder.c_str(), &found) != 0 || found.st_uid == 0) return true;
    return becomeOwner(found, folder, error);
}

bool rootOnlyPath(const std::string& file, std::string* error) {
    if (geteuid() != 0) return true;
    std::string start = file;
    if (file.empty() || file[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            *error = file + ": cannot tell the working folder: " + strerror(errno);
            return false;
        }
        start = std::string(cwd) + "/" + file;
    }
    std::vector<std::string> pending = namesLastFirst(start);
    std::string at = "/";  // the folder reached so far, without links
    for (int links = 0; !pending.empty();) {
        std::string name = pending.back();
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            at = folderOf(at);
            continue;
        }
        std::string path = joined(at, name);
        struct stat folder, entry;
        bool folderSeen = lstat(at.c_str(), &folder) == 0;
        bool exists = folderSeen && lstat(path.c_str(), &entry) == 0;
        if (!folderSeen || (!exists && errno != ENOENT)) {
            *error = (folderSeen ? path : at) + ": cannot check who can change it: " + strerror(errno);
            return false;
        }
        std::string who = whoElseChanges(folder, name, exists ? &entry : nullptr, pending.empty() || !exists);
        if (!who.empty()) {
            *error = at + ": " + who + " can change this folder on the way to " + file + ", and a tool run as root "
                     "uses no file another user can swap: run the tool as the host's user (for example runuser -u "
                     "USER -- ./morvelt ...), or give the data folder to the host's user (chown USER FOLDER); "
                     "nothing was done";
            return false;
        }
        if (!exists) return true;
        if (!S_ISLNK(entry.st_mode)) {
            at = path;
            continue;
        }
        char target[PATH_MAX];
        ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
        if (size < 0 || ++links > kLinkLimit) {
            *error = path + ": cannot follow the link: " + strerror(size < 0 ? errno : ELOOP);
            return false;
        }
        target[size] = '\0';
        if (target[0] == '/') at = "/";
        std::vector<std::string> parts = namesLastFirst(target);
        pending.insert(pending.end(), parts.begin(), parts.end());
    }
    return true;
}

bool takeDataFolderOwner(const std::string& file, std::string* error) {
    if (geteuid() != 0) return true;
    struct stat owner;
    std::string folder = foreignOwnedFolder(file, &owner);
    return folder.empty() ? rootOnlyPath(file, error) : becomeOwner(owner, folder, error);
}

bool readDataFile(const std::string& file, std::string* content, std::string* error) {
    struct stat owner;
    if (geteuid() != 0) return readFile(file, content, error);
    if (foreignOwnedFolder(file, &owner).empty()) return rootOnlyPath(file, error) && readFile(file, content, error);
    return asOwner(owner, file, [&] { return readFile(file, content, error); }, error);
}

std::string folderOf(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

}  // namespace simtool
