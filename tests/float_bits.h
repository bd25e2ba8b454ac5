// A float compared by its bits, for the unit tests that read ram figures.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

// Stands for "any NaN" in the tables of expected bits: the sign of a NaN is
// not fixed.
inline constexpr std::uint32_t ANY_NAN = 0x7FC00000;

inline std::uint32_t bits(float value) {
  return std::bit_cast<std::uint32_t>(value);
}

inline void expect_float_bits(float actual, std::uint32_t expected,
                              std::string_view context) {
  const std::string shown = testing::PrintToString(std::string(context));
  if (expected == ANY_NAN) {
    EXPECT_TRUE(std::isnan(actual)) << shown << " gave " << actual;
  } else {
    EXPECT_EQ(bits(actual), expected)
        << std::hex << shown << " gave " << actual << " bits 0x" << bits(actual)
        << ", expected 0x" << expected;
  }
}
