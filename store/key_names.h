// Key names: the text form of a user key in the data file. A key name is the key in base 13,
// least significant digit first, with the letters of kKeyDigits as digits 0 to 12; key 0 has
// the empty name. Key 1001 is "EIB", key 4294967295 is "MMMNDOBHB".
#pragma once

#include <stdint.h>

namespace store {

constexpr char kKeyDigits[] = "EFGHABCDMNOPI";
constexpr uint32_t kKeyBase = 13;
constexpr uint32_t kKeyNameMax = 9;       // 13^9 exceeds 2^32
constexpr uint32_t kKeyNameBuffer = 16;   // what callers give encodeKeyName

// Writes the key name of `key` into `out` as NUL-terminated text and returns its length.
// REQUIRES: `out` holds at least kKeyNameMax + 1 bytes. A null `out` gets nothing.
uint32_t encodeKeyName(uint32_t key, char* out);

// The key whose name starts `text`: digit letters are read, in either case, up to the first
// other character or at most kKeyNameMax of them, and summed modulo 2^32. No digit letter
// (or null) gives 0.
uint32_t decodeKeyName(const char* text);

}  // namespace store
