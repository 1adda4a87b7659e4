// Standard output that tells when it failed.
#include "tools/common/output.h"

#include <errno.h>
#include <unistd.h>

namespace simtool {

namespace {

FILE* checked = nullptr;
int firstError = 0;  // the errno of the first failed write to `checked`

// The stream's write: all of `size` bytes to descriptor 1, or -1 with the failure remembered.
ssize_t writeAll(void* /*cookie*/, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDOUT_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (firstError == 0) firstError = n < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

FILE* openCheckedOutput() {
    cookie_io_functions_t functions{nullptr, writeAll, nullptr, nullptr};
    checked = fopencookie(nullptr, "w", functions);
    return checked;
}

int outputError(FILE* out) {
    int flushed = fflush(out) == 0 ? 0 : errno;
    if (out == checked && firstError != 0) return firstError;
    if (!ferror(out)) return 0;
    return flushed != 0 ? flushed : EIO;
}

int closeCheckedOutput() {
    int failed = outputError(checked);
    if (fclose(checked) != 0 && failed == 0) failed = firstError != 0 ? firstError : errno;
    checked = nullptr;
    if (close(STDOUT_FILENO) != 0 && failed == 0) failed = errno;
    return failed;
}

}  // namespace simtool
