// Paths in fixed buffers, for code that may not allocate them: joining pieces, the folder of a
// path, and flushing a folder after a change of its entries.
#pragma once

#include <limits.h>
#include <stddef.h>

namespace store {

// A path in a buffer of its own.
struct Path {
    char text[PATH_MAX];
};

// Sets `out` to `a`, `b` and `c` one after the other; false when that is too long.
bool join(Path& out, const char* a, const char* b, const char* c);

// The folder that holds `path`: "." for a bare name.
void folderOf(const char* path, Path& out);

// The last part of `path`, after its last '/'.
const char* baseName(const char* path);

// Flushes the folder holding `path`, so that a rename, link or removal in it is durable.
void syncFolderOf(const char* path);

}  // namespace store
