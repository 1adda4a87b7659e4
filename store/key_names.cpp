// Key names: base-13 user keys written with letters.
#include "store/key_names.h"

namespace store {

namespace {

constexpr int8_t kNotDigit = -1;

// The digit value of every byte, in either case, or kNotDigit.
struct DigitTable {
    int8_t value[256];
    constexpr DigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = kNotDigit;
        for (int d = 0; d < static_cast<int>(kKeyBase); ++d) {
            unsigned char upper = static_cast<unsigned char>(kKeyDigits[d]);
            value[upper] = static_cast<int8_t>(d);
            value[upper - 'A' + 'a'] = static_cast<int8_t>(d);
        }
    }
};

constexpr DigitTable kDigitTable;

int digitValue(char c) { return kDigitTable.value[static_cast<unsigned char>(c)]; }

}  // namespace

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
