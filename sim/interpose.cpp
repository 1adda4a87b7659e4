// C library functions that the simulator's executable puts in front of the C library's own, so
// that the plug-in's calls reach them: `time` (and `__time64`, which a 32-bit build with 64-bit
// time calls) read the simulated clock, and `realloc` can be made to fail for the plug-in's
// calls. This file includes no system header, whose declarations of these names would clash.

extern "C" {
unsigned long long hostsimClock();
bool hostsimReallocShouldFail();
void* __libc_realloc(void* block, __SIZE_TYPE__ size);

__attribute__((visibility("default"))) long long __time64(long long* out) {
    long long now = static_cast<long long>(hostsimClock());
    if (out != nullptr) *out = now;
    return now;
}

__attribute__((visibility("default"))) long time(long* out) {
    long now = static_cast<long>(hostsimClock());
    if (out != nullptr) *out = now;
    return now;
}
}

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
