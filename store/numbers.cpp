// Decimal numbers as the data file holds them.
#include "store/numbers.h"

namespace store {

static bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
static bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Skips blanks and a sign; sets `negative` when the sign is '-'.
static const char* skipPrefix(const char* text, bool& negative) {
    while (isBlank(*text)) ++text;
    negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    return text;
}

// The digits at `text` as a magnitude, saturating at `limit`.
static uint64_t readMagnitude(const char* text, uint64_t limit) {
    uint64_t magnitude = 0;
    for (; isDigit(*text); ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > limit) magnitude = limit;
    }
    return magnitude;
}

int32_t parseSigned32(const char* text) {
    bool negative;
    text = skipPrefix(text, negative);
    uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    uint64_t magnitude = readMagnitude(text, limit);
    return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                    : static_cast<int32_t>(magnitude);
}

uint32_t parseUnsigned32(const char* text) {
    bool negative;
    text = skipPrefix(text, negative);
    constexpr uint64_t kLimit = uint64_t{1} << 32;  // anything above UINT32_MAX saturates
    uint64_t magnitude = readMagnitude(text, kLimit);
    if (magnitude >= kLimit) return UINT32_MAX;
    auto value = static_cast<uint32_t>(magnitude);
    return negative ? 0u - value : value;
}

uint32_t formatInt16(int16_t value, char* out) {
    uint32_t length = 0;
    int32_t v = value;
    if (v < 0) out[length++] = '-';
    uint32_t magnitude = static_cast<uint32_t>(v < 0 ? -v : v);
    uint32_t digits = magnitude >= 10000 ? 5 : magnitude >= 1000 ? 4 : magnitude >= 100 ? 3 : magnitude >= 10 ? 2 : 1;
    for (uint32_t i = length + digits; i-- > length; magnitude /= 10)
        out[i] = static_cast<char>('0' + magnitude % 10);
    return length + digits;
}

void formatStamp(uint32_t value, char* out) {
    for (int i = 9; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace store
