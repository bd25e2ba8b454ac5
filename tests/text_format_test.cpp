#include "text_format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "float_bits.h"

namespace {

using namespace std::string_view_literals;

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

TEST(ParseRam, ReadsTheNearestFloatOrZero) {
  const std::pair<std::string_view, std::uint32_t> cases[] = {
      {"8", 0x41000000},
      {"+8", 0x41000000},
      {"8.00", 0x41000000},
      {"5.", 0x40A00000},
      {".5", 0x3F000000},
      {"1e3", 0x447A0000},
      {"1E+2", 0x42C80000},
      {"00012.500e-1", 0x3FA00000},  // 1.25
      {"-2.5E0", 0xC0200000},
      {"0.1", 0x3DCCCCCD},
      {"1e0000000000000000000001", 0x41200000},  // 10
      {"inf", 0x7F800000},
      {"INFINITY", 0x7F800000},
      {"+InFiNiTy", 0x7F800000},
      {"-inf", 0xFF800000},
      {"-Infinity", 0xFF800000},
      {"nan", ANY_NAN},
      {"NaN", ANY_NAN},
      {"+NAN", ANY_NAN},
      {"-nan", ANY_NAN},
      // Rounded once from the exact decimal value; through a double these
      // come out one float lower.
      {"1.00000005960464477539062501", 0x3F800001},
      {"1.00000005960464477539062500000000000000000000000000000000001",
       0x3F800001},
      {"0.25000001490116119384765625001", 0x3E800001},
      // Exact ties go to the even float, down or up.
      {"1.000000059604644775390625", 0x3F800000},
      {"1.0000000596046447753906250000000000000000000000", 0x3F800000},
      {"0.25000001490116119384765625", 0x3E800000},
      {"1.000000178813934326171875", 0x3F800002},
      // Around the largest float: the overflow threshold 2^128 - 2^103 is a
      // tie whose even neighbour is 2^128, so it overflows.
      {"3.4028235e38", 0x7F7FFFFF},
      {"3.40282356e38", 0x7F7FFFFF},
      {"340282356779733661637539395458142568447", 0x7F7FFFFF},
      {"340282356779733661637539395458142568448", 0x7F800000},
      {"3.4028236e38", 0x7F800000},
      {"-3.4028236e38", 0xFF800000},
      {"1e39", 0x7F800000},
      // Around the smallest subnormal 2^-149 and half of it.
      {"1.401298464324817e-45", 0x00000001},
      {"-1.401298464324817e-45", 0x80000001},
      {"7.00649232162408535461864791644958065640130970938257885878534141944895"
       "541342930300743319094181060791015625e-46",
       0x00000000},                            // exactly 2^-150: a tie
      {"7.006492321624085e-46", 0x00000000},   // just below 2^-150
      {"7.0064923216240854e-46", 0x00000001},  // just above
      {"-7.0064923216240854e-46", 0x80000001},
      {"2.10194769648722560638559437493487419692039291281477365763560242583468"
       "6624028790902229957282543182373046875e-45",
       0x00000002},  // 3 * 2^-150, a tie going up to the even 2^-148
      // Saturation keeps the text's sign; exponents of any length.
      {"-0", 0x80000000},
      {"-0.0e5", 0x80000000},
      {"1e-50", 0x00000000},
      {"-1e-50", 0x80000000},
      {"1e99999999999", 0x7F800000},
      {"-1e99999999999", 0xFF800000},
      {"1e-99999999999", 0x00000000},
      {"-1e-99999999999", 0x80000000},
      {"0e99999999999", 0x00000000},
      {"100000000000000000000000000000000000000000000000000e-50", 0x3F800000},
      {"0.00000000000000000000000000000000000000000000000001e50", 0x3F800000},
  };
  for (const auto& [text, expected] : cases) {
    expect_float_bits(parse_ram(text), expected, text);
  }
}

TEST(ParseRam, GivesPositiveZeroOutsideTheGrammar) {
  const std::string_view rejected[] = {
      "",         " 8",     "8 ",      "8GB",       "8,5",  "0x10",  "0x1p3",
      "1_000",    "nan(1)", "nan()",   ".",         "+",    "-",     "-.",
      "1e",       "1e+",    "e5",      ".e5",       "1 e5", "1e5.0", "1.2.3",
      "+-8",      "--8",    "infinit", "infinityy", "in f", "inf ",  "-x",
      "\xD9\xA3",  // ARABIC-INDIC DIGIT THREE
      "8\0"sv,     // the text ends at its length, not at a NUL
      "\0"sv};
  for (const std::string_view text : rejected) {
    expect_float_bits(parse_ram(text), 0, text);
  }
}

}  // namespace
