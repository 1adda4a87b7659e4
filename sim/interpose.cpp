// C library functions that the simulator's executable puts in front of the C library's own, so
// that the plug-in's calls reach them: `time`, and `syscall` for the kernel's real-time clock
// calls (64-bit and 32-bit) and its time call, read the simulated clock (as the Host's
// ClockLibrary and KernelClock say), `syscall` passes every other call on (failing getrandom,
// and `open` failing /dev/urandom, where the Host has no random sources),
// and `realloc` can be made to fail for the plug-in's calls. This file includes no system
// header, whose declarations of these names would clash.

extern "C" {
long hostsimTime();
bool hostsimSystemCall(long number, long first, long second, long third, long* result);
bool hostsimOpenShouldFail(const char* path);
int* __errno_location();
bool hostsimReallocShouldFail();
void* __libc_realloc(void* block, __SIZE_TYPE__ size);
void* dlsym(void* handle, const char* name);

__attribute__((visibility("default"))) long time(long* out) {
    long now = hostsimTime();
    if (out != nullptr) *out = now;
    return now;
}

// The C library's syscall, behind this one.
using SystemCall = long (*)(long, ...);
static SystemCall nextSyscall() {
    void* const kNext = reinterpret_cast<void*>(-1L);  // RTLD_NEXT
    static SystemCall next = reinterpret_cast<SystemCall>(dlsym(kNext, "syscall"));
    return next;
}

// A system call takes at most six arguments, each as wide as a long: all six slots are read
// and passed on, as the C library's own syscall does, whatever the caller gave (which
// AddressSanitizer would report as a read past the caller's arguments).
__attribute__((visibility("default"), no_sanitize("address"))) long syscall(long number, ...) {
    long a[6];
    __builtin_va_list arguments;
    __builtin_va_start(arguments, number);
    for (long& argument : a) argument = __builtin_va_arg(arguments, long);
    __builtin_va_end(arguments);
    long result;
    if (hostsimSystemCall(number, a[0], a[1], a[2], &result)) return result;
    return nextSyscall()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
}

// open() and open64() as the C library's open64, except that /dev/urandom can be made to fail
// with ENOENT. open64 differs from open only in allowing files over 2 GiB on a 32-bit system,
// which no caller here minds. The mode is passed on as read, as the C library reads it.
using OpenCall = int (*)(const char*, int, ...);
extern "C" __attribute__((visibility("default"), no_sanitize("address"))) int open(const char* path, int flags, ...) {
    __builtin_va_list arguments;
    __builtin_va_start(arguments, flags);
    unsigned mode = __builtin_va_arg(arguments, unsigned);
    __builtin_va_end(arguments);
    constexpr int kNoEntry = 2;  // ENOENT
    if (path != nullptr && hostsimOpenShouldFail(path)) {
        *__errno_location() = kNoEntry;
        return -1;
    }
    void* const kNext = reinterpret_cast<void*>(-1L);  // RTLD_NEXT
    static OpenCall next = reinterpret_cast<OpenCall>(dlsym(kNext, "open64"));
    return next(path, flags, mode);
}

extern "C" __attribute__((visibility("default"), alias("open"))) int open64(const char* path, int flags, ...);

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define HOSTSIM_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define HOSTSIM_SANITIZER 1
#endif

#ifndef HOSTSIM_SANITIZER
// A sanitizer's runtime owns the allocator; elsewhere realloc faults can be injected.
extern "C" __attribute__((visibility("default"))) void* realloc(void* block, __SIZE_TYPE__ size) {
    if (hostsimReallocShouldFail()) return nullptr;
    return __libc_realloc(block, size);
}
extern "C" bool hostsimReallocFaultsSupported() { return true; }
#else
extern "C" bool hostsimReallocFaultsSupported() { return false; }
#endif
