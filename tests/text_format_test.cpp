#include "text_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

namespace {

float from_bits(std::uint32_t bits) { return std::bit_cast<float>(bits); }

struct FixedCase {
  std::uint32_t bits;  // the float, given exactly
  int decimals;
  std::string expected;
};

TEST(FormatFixed, WritesFixedNotationFromTheExactValue) {
  const FixedCase cases[] = {
      {0x41000000, 1, "8.0"},    // 8.0
      {0x41000000, 2, "8.00"},   // 8.0
      {0x41800000, 1, "16.0"},   // 16.0, never 2e+01
      {0x00000000, 1, "0.0"},    // +0.0
      {0x80000000, 1, "-0.0"},   // -0.0 keeps its sign
      {0x80000000, 2, "-0.00"},  // -0.0
      // Exact ties go to the even digit.
      {0x3E800000, 1, "0.2"},   // 0.25
      {0x3F400000, 1, "0.8"},   // 0.75
      {0x3E000000, 2, "0.12"},  // 0.125
      {0x3EC00000, 2, "0.38"},  // 0.375
      {0xBFA00000, 1, "-1.2"},  // -1.25
      {0x41040000, 1, "8.2"},   // 8.25
      {0x410C0000, 1, "8.8"},   // 8.75
      // Not ties: the float's exact value decides, not its decimal spelling.
      {0x411F5C29, 1, "10.0"},  // 9.96f = 9.96000003814697265625
      {0x411F3333, 1, "9.9"},   // 9.95f = 9.94999980926513671875
      {0x3D4CCCCD, 1, "0.1"},   // 0.05f = 0.0500000007450580596923828125
      {0x4100CCCD, 1, "8.1"},   // 8.0f + 0.05f = 8.05000019073486328125
      {0x3E19999A, 1, "0.2"},   // 0.15f = 0.1500000059604644775390625
      {0x3EB33333, 1, "0.3"},   // 0.35f = 0.3499999940395355224609375
      {0x3EE66666, 1, "0.4"},   // 0.45f = 0.449999988079071044921875
      {0xBD23D70A, 1, "-0.0"},  // -0.04f rounds to a negative zero
      {0x3DCCCCCD, 27, "0.100000001490116119384765625"},  // 0.1f in full
      {0x3DCCCCCD, 10, "0.1000000015"},
      {0x3A83126F, 3, "0.001"},  // 0.001f
      // Extremes: never an exponent.
      {0x00000001, 2, "0.00"},  // smallest subnormal
      {0x80000001, 1, "-0.0"},  // its negative
      {0x4B800000, 1, "16777216.0"},
      {0x7F7FFFFF, 1, "340282346638528859811704183484516925440.0"},
      {0xFF7FFFFF, 2, "-340282346638528859811704183484516925440.00"},
      // Non-finite values.
      {0x7FC00000, 1, "NaN"},
      {0xFFC00000, 1, "NaN"},  // sign bit set
      {0x7F800001, 2, "NaN"},  // signalling payload
      {0x7F800000, 1, "inf"},
      {0xFF800000, 1, "-inf"},
      {0xFF800000, 2, "-inf"},
  };
  for (const FixedCase& c : cases) {
    EXPECT_EQ(format_fixed(from_bits(c.bits), c.decimals), c.expected)
        << std::hex << "bits 0x" << c.bits << " decimals " << std::dec
        << c.decimals;
  }
}

}  // namespace
