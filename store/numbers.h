// Decimal numbers as the data file holds them, read the same way on every build: leading
// white space, then an optional sign, then digits up to the first non-digit; no digits give 0.
#pragma once

#include <stdint.h>

namespace store {

// A signed 32-bit number, as a 32-bit C library's atoi reads it: out-of-range values
// saturate at INT32_MIN or INT32_MAX.
int32_t parseSigned32(const char* text);

// An unsigned 32-bit number, as a 32-bit C library's strtoul reads it: "-5" is 2^32 - 5, and
// out-of-range values saturate at UINT32_MAX.
uint32_t parseUnsigned32(const char* text);

// Writes `value` in decimal, with a '-' when negative, and returns the number of characters.
// REQUIRES: `out` holds at least 6 bytes. No NUL is written.
uint32_t formatInt16(int16_t value, char* out);

// Writes `value` as exactly 10 decimal digits, padded with zeros on the left. No NUL is written.
void formatStamp(uint32_t value, char* out);

}  // namespace store
