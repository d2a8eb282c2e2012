#include "common/numbers.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Numbers, DecimalStaysDecimalAndHexNeedsItsPrefix) {
    uint64_t value = 0;
    ASSERT_TRUE(varnak::ParseUnsigned("010", 0xffff, value));
    EXPECT_EQ(value, 10u);  // a leading zero is no octal mark
    ASSERT_TRUE(varnak::ParseUnsigned("09", 0xffff, value));
    EXPECT_EQ(value, 9u);
    ASSERT_TRUE(varnak::ParseUnsigned("0x1F", 0xffff, value));
    EXPECT_EQ(value, 31u);
    ASSERT_TRUE(varnak::ParseUnsigned("0X00ff", 0xffff, value));
    EXPECT_EQ(value, 255u);
    ASSERT_TRUE(varnak::ParseUnsigned("0", 0, value));
    EXPECT_EQ(value, 0u);

    for (const char* bad : {"", "0x", "1f", "12 ", " 12", "-1", "+1", "0o7", "1.5", "0x1g"}) {
        EXPECT_FALSE(varnak::ParseUnsigned(bad, 0xffff, value)) << bad;
    }
}

TEST(Numbers, LimitsHoldWithoutOverflow) {
    uint64_t value = 0;
    EXPECT_TRUE(varnak::ParseUnsigned("65535", 0xffff, value));
    EXPECT_FALSE(varnak::ParseUnsigned("65536", 0xffff, value));
    EXPECT_FALSE(varnak::ParseUnsigned("0x10000", 0xffff, value));
    EXPECT_FALSE(varnak::ParseUnsigned("5", 4, value));
    EXPECT_TRUE(varnak::ParseUnsigned("18446744073709551615", UINT64_MAX, value));
    EXPECT_EQ(value, UINT64_MAX);
    EXPECT_FALSE(varnak::ParseUnsigned("18446744073709551616", UINT64_MAX, value));
    EXPECT_FALSE(varnak::ParseUnsigned("0x10000000000000000", UINT64_MAX, value));

    int64_t number = 0;
    ASSERT_TRUE(varnak::ParseSigned("-010", -128, 127, number));
    EXPECT_EQ(number, -10);
    ASSERT_TRUE(varnak::ParseSigned("+0x7f", -128, 127, number));
    EXPECT_EQ(number, 127);
    ASSERT_TRUE(varnak::ParseSigned("-128", -128, 127, number));
    EXPECT_EQ(number, -128);
    EXPECT_FALSE(varnak::ParseSigned("-129", -128, 127, number));
    EXPECT_FALSE(varnak::ParseSigned("128", -128, 127, number));
    EXPECT_FALSE(varnak::ParseSigned("-", -128, 127, number));
    EXPECT_FALSE(varnak::ParseSigned("--1", -128, 127, number));
    ASSERT_TRUE(varnak::ParseSigned("-9223372036854775808", INT64_MIN, INT64_MAX, number));
    EXPECT_EQ(number, INT64_MIN);
    EXPECT_FALSE(varnak::ParseSigned("9223372036854775808", INT64_MIN, INT64_MAX, number));
    EXPECT_FALSE(varnak::ParseSigned("-1", 0, 10, number));
}

}  // namespace
