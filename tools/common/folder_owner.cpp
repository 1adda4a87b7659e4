// Becoming the owner of a folder before writing in it.
#include "tools/common/folder_owner.h"

#include <errno.h>
#include <grp.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simtool {

bool takeFolderOwner(const std::string& folder, std::string* error) {
    struct stat found;
    if (geteuid() != 0 || stat(folder.c_str(), &found) != 0 || found.st_uid == 0) return true;
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

std::string folderOf(const std::string& file) {
    size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

}  // namespace simtool
