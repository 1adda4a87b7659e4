// Key names: base-13 user keys written with letters.
#include "store/key_names.h"

namespace store {

// The digit value of `c` in either case, or -1 when it is not a digit letter.
static int digitValue(char c) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (int d = 0; d < static_cast<int>(kKeyBase); ++d)
        if (kKeyDigits[d] == c) return d;
    return -1;
}

uint32_t encodeKeyName(uint32_t key, char* out) {
    if (out == nullptr) return 0;
    uint32_t length = 0;
    for (; key != 0; key /= kKeyBase) out[length++] = kKeyDigits[key % kKeyBase];
    out[length] = '\0';
    return length;
}

uint32_t decodeKeyName(const char* text) {
    if (text == nullptr) return 0;
    uint32_t key = 0;
    uint32_t weight = 1;  // 13^p modulo 2^32
    for (uint32_t p = 0; p < kKeyNameMax; ++p) {
        int digit = digitValue(text[p]);
        if (digit < 0) break;
        key += static_cast<uint32_t>(digit) * weight;
        weight *= kKeyBase;
    }
    return key;
}

}  // namespace store
