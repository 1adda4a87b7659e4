// Standard output that tells when it failed. A report cut short by a full disk must not look
// like a whole one: the tools write through a stream that remembers the C library's error for
// the first write that failed, and check the final flush and close.
//
//   FILE* out = openCheckedOutput();
//   fprintf(out, ...);
//   int failed = closeCheckedOutput();   // 0, or the errno of the first failure
#pragma once

#include <stdio.h>

namespace simtool {

// A stream onto file descriptor 1 that remembers the errno of its first failed write. There is
// one; null when no stream can be made.
FILE* openCheckedOutput();

// Flushes `out`; 0 when everything written to it so far reached its file, else the errno of the
// first failure (EIO when the stream gives none).
int outputError(FILE* out);

// Flushes and closes the checked stream and file descriptor 1. 0, or the errno of the first
// failure of any write, the flush or the close.
int closeCheckedOutput();

}  // namespace simtool
