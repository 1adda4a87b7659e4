// Paths in fixed buffers.
#include "store/paths.h"

#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "store/fd.h"

namespace store {

bool join(Path& out, const char* a, const char* b, const char* c) {
    size_t la = strlen(a), lb = strlen(b), lc = strlen(c);
    if (la + lb + lc >= sizeof out.text) return false;
    memmove(out.text, a, la);
    memmove(out.text + la, b, lb);
    memmove(out.text + la + lb, c, lc + 1);
    return true;
}

void folderOf(const char* path, Path& out) {
    const char* slash = strrchr(path, '/');
    size_t length = slash == nullptr ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length == 0) {
        strcpy(out.text, ".");
        return;
    }
    memmove(out.text, path, length);
    out.text[length] = '\0';
}

const char* baseName(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

void syncFolderOf(const char* path) {
    Path folder;
    folderOf(path, folder);
    Fd fd(::open(folder.text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.ok()) ::fsync(fd.get());
}

}  // namespace store
