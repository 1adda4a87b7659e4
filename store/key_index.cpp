// A temporary open-addressing index from user key to record position.
#include "store/key_index.h"

#include <stdlib.h>

namespace store {

static uint32_t hashKey(uint32_t key) { return key * 2654435761u; }

KeyIndex::~KeyIndex() { free(slots_); }

uint32_t KeyIndex::find(uint32_t key) const {
    if (capacity_ == 0) return UINT32_MAX;
    for (uint32_t i = hashKey(key) & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
        if (slots_[i].key == key) return slots_[i].position;
        if (slots_[i].key == 0) return UINT32_MAX;
    }
}

bool KeyIndex::grow() {
    uint32_t capacity = capacity_ == 0 ? 1024 : capacity_ * 2;
    if (capacity == 0) return false;
    auto* slots = static_cast<Slot*>(calloc(capacity, sizeof(Slot)));
    if (slots == nullptr) return false;
    for (uint32_t i = 0; i < capacity_; ++i) {
        if (slots_[i].key == 0) continue;
        uint32_t j = hashKey(slots_[i].key) & (capacity - 1);
        while (slots[j].key != 0) j = (j + 1) & (capacity - 1);
        slots[j] = slots_[i];
    }
    free(slots_);
    slots_ = slots;
    capacity_ = capacity;
    return true;
}

bool KeyIndex::insert(uint32_t key, uint32_t position) {
    if (!usable_) return false;
    if ((count_ + 1) * 2 > capacity_ && !grow()) {
        usable_ = false;
        return false;
    }
    uint32_t i = hashKey(key) & (capacity_ - 1);
    while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & (capacity_ - 1);
    if (slots_[i].key == 0) ++count_;
    slots_[i] = {key, position};
    return true;
}

}  // namespace store
