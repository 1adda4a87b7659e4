// Host memory for the simulator: zeroed blocks that stay below 4 GiB, so that the 32-bit
// address fields of the host's records can hold them in a native 64-bit build too.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace hostsim {

class Arena {
  public:
    // REQUIRES: capacity fits the address space below 4 GiB.
    explicit Arena(size_t capacity = 64u << 20);
    ~Arena();
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    // A zeroed block of `size` bytes, 8-aligned, valid until the arena goes; null when full.
    void* allocate(size_t size);

    // The 32-bit form of an address inside the arena.
    static uint32_t address32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

  private:
    char* base_;
    size_t capacity_;
    size_t used_ = 0;
};

}  // namespace hostsim
