// Host memory below 4 GiB.
#include "sim/arena.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#ifndef MAP_32BIT
#define MAP_32BIT 0  // a 32-bit process has nothing but low memory
#endif

namespace hostsim {

Arena::Arena(size_t capacity) : capacity_(capacity) {
    void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_NORESERVE,
                   -1, 0);
    if (p == MAP_FAILED || reinterpret_cast<uintptr_t>(p) + capacity > (uint64_t{1} << 32)) {
        fprintf(stderr, "hostsim: cannot reserve %zu bytes of host memory below 4 GiB\n", capacity);
        abort();
    }
    base_ = static_cast<char*>(p);
}

Arena::~Arena() { munmap(base_, capacity_); }

void* Arena::allocate(size_t size) {
    size_t start = (used_ + 7) & ~size_t{7};
    if (start > capacity_ || capacity_ - start < size) return nullptr;
    used_ = start + size;
    return base_ + start;  // fresh mmap pages are zero, and nothing is reused
}

}  // namespace hostsim
