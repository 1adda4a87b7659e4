// A temporary index from user key to record position, kept while the data file is read so that
// each header finds its record without scanning the table. It is dropped when the load ends.
#pragma once

#include <stdint.h>

namespace store {

class KeyIndex {
  public:
    KeyIndex() = default;
    KeyIndex(const KeyIndex&) = delete;
    KeyIndex& operator=(const KeyIndex&) = delete;
    ~KeyIndex();

    // The position of `key` in the record table, or UINT32_MAX when the index does not hold it.
    uint32_t find(uint32_t key) const;

    // Records that `key` is at `position`. Returns false when the index could not grow; it is
    // then no longer complete, and usable() turns false.
    bool insert(uint32_t key, uint32_t position);

    // Whether every inserted key is held, so that a miss means the key is absent.
    bool usable() const { return usable_; }

  private:
    struct Slot {
        uint32_t key;       // 0 marks an empty slot (0 is never a recorded key)
        uint32_t position;  // position in the record table
    };
    bool grow();

    Slot* slots_ = nullptr;
    uint32_t capacity_ = 0;  // a power of two, or 0
    uint32_t count_ = 0;
    bool usable_ = true;
};

}  // namespace store
