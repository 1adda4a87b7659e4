// The host functions that the store built into morvelt calls, where no host runs: blocks from
// the C library's heap, and no log (the tool reports what it did itself). The store uses no
// other host function.
#include <stdint.h>
#include <stdlib.h>

#include "host/api.h"

extern "C" {

void FormattedLogMessage(int32_t /*zero*/, const char* /*source*/, const char* /*format*/, ...) {}

void* NewPtrClear(int32_t size) { return size < 0 ? nullptr : calloc(1, static_cast<size_t>(size)); }

void DisposePtr(void* block) { free(block); }

}  // extern "C"
