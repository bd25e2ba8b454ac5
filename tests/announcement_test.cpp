#include "announcement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "discovery.h"
#include "peer_table.h"
#include "test_support.h"

namespace {

using namespace std::string_view_literals;

// Stands for "any NaN" in the tables below: the sign of a NaN is not fixed.
constexpr std::uint32_t ANY_NAN = 0x7FC00000;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

void expect_float_bits(float actual, std::uint32_t expected,
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

TEST(FormatAnnouncement, WritesTheFieldsUnescaped) {
  const struct {
    std::string_view room;
    std::string_view host;
    float ram;
    std::uint32_t node_count;
    std::string_view expected;
  } cases[] = {
      {"MORUN-DEFAULT", "alpha", 8.0f, 1,
       "MORUN-MESH|MORUN-DEFAULT|alpha|8.00|1"},
      {"r|s", "h|i", 0.125f, 4294967295, "MORUN-MESH|r|s|h|i|0.12|4294967295"},
      {"", "", -0.0f, 0, "MORUN-MESH|||-0.00|0"},
      {"lab", "al\0pha"sv, std::numeric_limits<float>::quiet_NaN(), 7,
       "MORUN-MESH|lab|al\0pha|NaN|7"sv},
      {"lab", "caf\xC3\xA9", -std::numeric_limits<float>::infinity(), 10,
       "MORUN-MESH|lab|caf\xC3\xA9|-inf|10"},
  };
  for (const auto& c : cases) {
    NodeConfig config;
    config.room = c.room;
    config.host = c.host;
    config.ram = c.ram;
    config.node_count = c.node_count;
    EXPECT_EQ(format_announcement(config), c.expected);
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

IpAddress address(std::uint8_t last) {
  IpAddress addr;
  addr.bytes = {10, 0, 0, last};
  return addr;
}

// Whether `table` holds exactly one peer, under `sender`, with that host and
// ram.
void expect_only_peer(PeerTable& table, const IpAddress& sender,
                      std::string_view host, std::uint32_t ram,
                      std::string_view context) {
  table.read([&](const PeerMap& peers) {
    ASSERT_EQ(peers.size(), 1u) << testing::PrintToString(std::string(context));
    const auto found = peers.find(sender);
    ASSERT_NE(found, peers.end());
    EXPECT_EQ(found->second.host, host);
    expect_float_bits(found->second.ram, ram, context);
    EXPECT_EQ(found->second.addr, sender);
  });
}

std::size_t peer_count(PeerTable& table) { return table.size(); }

TEST(ParseAnnouncement, RecordsMatchingAnnouncementsOnly) {
  const struct {
    std::string_view text;
    bool recorded;
    std::string_view host;
    std::uint32_t ram;
  } cases[] = {
      {"MORUN-MESH|lab|alpha|8.00|1", true, "alpha", 0x41000000},
      {"MORUN-MESH|lab|alpha|8.00", true, "alpha", 0x41000000},
      {"MORUN-MESH|lab|alpha|8.00|", true, "alpha", 0x41000000},
      {"MORUN-MESH|lab|alpha|8.00|1|extra", true, "alpha", 0x41000000},
      {"MORUN-MESH|lab||8.00|1", true, "", 0x41000000},
      {"MORUN-MESH|lab|alpha|", true, "alpha", 0},
      {"MORUN-MESH|lab|a|b|8.00|1", true, "a", 0},  // a '|' in the host
      {"MORUN-MESH|lab|al\0pha|16.0|1"sv, true, "al\0pha"sv, 0x41800000},
      {"MORUN-MESH|lab| \xE3\x80\x80"
       "alpha\n|8.00|1",
       true,
       " \xE3\x80\x80"
       "alpha\n",
       0x41000000},  // the host is never trimmed
      {"MORUN-MESH|lab|alpha|-0|1", true, "alpha", 0x80000000},
      {"MORUN-MESH|lab|alpha|nan|1", true, "alpha", ANY_NAN},
      {"MORUN-MESH|lab|alpha|0.25000001490116119384765625001|1", true, "alpha",
       0x3E800001},
      {"MORUN-MESH|lab|alpha|8GB|1", true, "alpha", 0},
      {"", false, "", 0},
      {"MORUN-MESH", false, "", 0},
      {"MORUN-MESH|lab|alpha", false, "", 0},
      {"morun-mesh|lab|alpha|8.00|1", false, "", 0},
      {"MORUN-MESH |lab|alpha|8.00|1", false, "", 0},
      {"MORUN-MES|lab|alpha|8.00|1", false, "", 0},
      {"MORUN-MESH\0|lab|alpha|8.00|1"sv, false, "", 0},
      {"MORUN-MESH|Lab|alpha|8.00|1", false, "", 0},
      {"MORUN-MESH|lab |alpha|8.00|1", false, "", 0},
      {"MORUN-MESH|la|alpha|8.00|1", false, "", 0},
      {"MORUN-MESH||alpha|8.00|1", false, "", 0},
      {"MORUN-MESH|lab\0|alpha|8.00|1"sv, false, "", 0},
  };
  const IpAddress sender = address(2);
  for (const auto& c : cases) {
    PeerTable table;
    parse_announcement(c.text, sender, "lab", table);
    if (c.recorded) {
      expect_only_peer(table, sender, c.host, c.ram, c.text);
    } else {
      EXPECT_EQ(peer_count(table), 0u)
          << testing::PrintToString(std::string(c.text));
    }
  }
}

TEST(ParseAnnouncement, LaterAnnouncementReplacesTheSendersEntry) {
  PeerTable table;
  parse_announcement("MORUN-MESH|lab|alpha|8.00|1", address(2), "lab", table);
  parse_announcement("MORUN-MESH|lab|beta|16.00|1", address(2), "lab", table);
  parse_announcement("MORUN-MESH|other|gamma|1.00|1", address(2), "lab", table);
  expect_only_peer(table, address(2), "beta", 0x41800000, "replaced");
  parse_announcement("MORUN-MESH|lab|delta|2.00|1", address(3), "lab", table);
  EXPECT_EQ(peer_count(table), 2u);
}

TEST(ParseAnnouncement, RoomContainingSeparatorNeverMatches) {
  PeerTable table;
  parse_announcement("MORUN-MESH|l|b|alpha|8.00|1", address(2), "l|b", table);
  EXPECT_EQ(peer_count(table), 0u);
}

TEST(HandleDatagram, AcceptsOnlyValidUtf8) {
  ASSERT_EQ(DATAGRAM_BUFFER_SIZE, 256u);
  // 300 bytes; its first 256 still form an announcement.
  const std::string ascii =
      "MORUN-MESH|lab|alpha|8.00|1|" + std::string(272, 'x');
  // 301 bytes, valid in full; byte 256 is the middle of a U+00E9.
  std::string accented = "MORUN-MESH|lab|alpha|8.00|x";
  for (int i = 0; i < 137; ++i) accented += "\xC3\xA9";
  ASSERT_EQ(ascii.size(), 300u);
  ASSERT_EQ(accented.size(), 301u);

  const struct {
    std::string_view bytes;
    bool recorded;
  } cases[] = {
      {"", false},
      {"MORUN-MESH|lab|alpha|8.00|1", true},
      {"MORUN-MESH|lab|alpha|8.00|1\0"sv, true},
      {"MORUN-MESH|lab|alpha|8.00|1\xFF", false},  // even in the ignored piece
      {"\xFFMORUN-MESH|lab|alpha|8.00|1", false},
      {"MORUN-MESH|lab|alpha|8.00|\xC0\xAF", false},      // overlong '/'
      {"MORUN-MESH|lab|alpha|8.00|\xED\xA0\x80", false},  // a surrogate
      {"MORUN-MESH|lab|alpha|8.00|\xF0\x9F\x98", false},  // cut short
      {std::string_view(ascii).substr(0, 256), true},
      {std::string_view(accented), true},
      {std::string_view(accented).substr(0, 256), false},
  };
  const IpAddress sender = address(9);
  for (const auto& c : cases) {
    PeerTable table;
    handle_datagram(c.bytes, sender, "lab", table);
    if (c.recorded) {
      expect_only_peer(table, sender, "alpha", 0x41000000, c.bytes);
    } else {
      EXPECT_EQ(peer_count(table), 0u)
          << testing::PrintToString(std::string(c.bytes));
    }
  }
}

// A receive error that persists (here: the descriptor is not a socket) used
// to be retried at once, forever: a thread spinning at a whole core.
TEST(ReceiveDatagrams, PausesAfterAnErrorThatPersists) {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // The loop never returns; its thread and table live as long as the tests.
  static PeerTable table;
  const auto used = test_support::cpu_time_of_detached(
      [fd] { receive_datagrams(fd, "lab", table, nullptr); },
      std::chrono::milliseconds{1000});
  EXPECT_LT(used, std::chrono::milliseconds{200});
}

}  // namespace
