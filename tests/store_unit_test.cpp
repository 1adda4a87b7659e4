// Key names and the data file's numbers, tested directly.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "store/key_names.h"
#include "store/numbers.h"

namespace {

using store::decodeKeyName;
using store::encodeKeyName;

std::string encoded(uint32_t key) {
    char buffer[store::kKeyNameBuffer];
    memset(buffer, 'x', sizeof buffer);
    encodeKeyName(key, buffer);
    return buffer;
}

TEST(KeyNames, Encode) {
    const struct {
        uint32_t key;
        const char* name;
    } cases[] = {
        {0, ""}, {1, "F"}, {12, "I"}, {13, "EF"}, {1000, "IPB"}, {1001, "EIB"}, {4294967295u, "MMMNDOBHB"},
    };
    for (const auto& c : cases) EXPECT_EQ(encoded(c.key), c.name) << c.key;
}

TEST(KeyNames, Decode) {
    const struct {
        const char* text;
        uint32_t key;
    } cases[] = {
        {"EIB", 1001},
        {"eib", 1001},                  // either case
        {"EiB", 1001},
        {"EIB:0000000005]", 1001},      // the colon ends the name
        {"IPB", 1000},
        {"MMMNDOBHB", 4294967295u},
        {"IIIIIIIII", 2014564780u},     // 13^9 - 1 wraps modulo 2^32
        {"EIBEEEEEEF", 1001},           // a tenth letter is not read
        {"FFFFFFFFFF", 1 + 13 + 169 + 2197 + 28561 + 371293 + 4826809 + 62748517 + 815730721u},
        {"", 0},
        {"XEIB", 0},                    // a first character outside the alphabet
        {"1EIB", 0},
        {"E", 0},
        {"EEEF", 2197},                 // leading zero digits
    };
    for (const auto& c : cases) EXPECT_EQ(decodeKeyName(c.text), c.key) << c.text;
    EXPECT_EQ(decodeKeyName(nullptr), 0u);
}

TEST(KeyNames, EncodeThenDecodeGivesTheKeyBack) {
    for (uint32_t key : {0u, 1u, 1000u, 1001u, 12345678u, 2147483648u, 4294967294u, 4294967295u})
        EXPECT_EQ(decodeKeyName(encoded(key).c_str()), key) << key;
    uint32_t key = 1;
    for (int i = 0; i < 200000; ++i) {
        key = key * 1664525u + 1013904223u;
        ASSERT_EQ(decodeKeyName(encoded(key).c_str()), key) << key;
    }
}

TEST(KeyNames, NullBufferGetsNothing) { EXPECT_EQ(encodeKeyName(1001, nullptr), 0u); }

TEST(Numbers, ParseSignedAsAtoiOnA32BitLibrary) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"12", 12}, {"-3", -3}, {"+7", 7}, {"  \t42", 42}, {"0000000005", 5}, {"abc", 0}, {"", 0},
        {"12abc", 12}, {"- 3", 0}, {"40000", 40000}, {"2147483647", INT32_MAX}, {"2147483648", INT32_MAX},
        {"99999999999999999999", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-99999999999", INT32_MIN},
        {"000000000000000000000000000007", 7}, {"5\r", 5},
    };
    for (const auto& c : cases) EXPECT_EQ(store::parseSigned32(c.text), c.value) << c.text;
}

TEST(Numbers, ParseUnsignedAsStrtoulOnA32BitLibrary) {
    const struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        {"1136073600", 1136073600u}, {"3000000000", 3000000000u}, {"4294967295", UINT32_MAX},
        {"4294967296", UINT32_MAX},  {"-5", 4294967291u},         {"0000000005", 5},
        {"", 0},                     {"]", 0},                     {" 77]", 77},
        {"-4294967295", 1},          {"-99999999999", UINT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(store::parseUnsigned32(c.text), c.value) << c.text;
}

TEST(Numbers, FormatInt16AsPrintfDoes) {
    for (int v : {0, 1, -1, 12, -3, 32767, -32768, 10000, -10000}) {
        char out[8] = {};
        uint32_t n = store::formatInt16(static_cast<int16_t>(v), out);
        EXPECT_EQ(std::string(out, n), std::to_string(v));
    }
}

TEST(Numbers, FormatStampAsTenDigits) {
    const struct {
        uint32_t value;
        const char* text;
    } cases[] = {{0, "0000000000"}, {5, "0000000005"}, {1136073600u, "1136073600"}, {UINT32_MAX, "4294967295"}};
    for (const auto& c : cases) {
        char out[10];
        store::formatStamp(c.value, out);
        EXPECT_EQ(std::string(out, 10), c.text);
    }
}

}  // namespace
