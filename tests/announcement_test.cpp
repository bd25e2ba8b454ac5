#include "announcement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "discovery.h"
#include "float_bits.h"
#include "peer_table.h"
#include "test_support.h"

namespace {

using namespace std::string_view_literals;

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

IpAddress address(std::uint8_t last) {
  IpAddress addr;
  addr.bytes = {10, 0, 0, last};
  return addr;
}

// Whether `heard` is an announcement with that host and ram (`heard_it`) or
// nothing.
void expect_heard(const std::optional<HeardAnnouncement>& heard, bool heard_it,
                  std::string_view host, std::uint32_t ram,
                  std::string_view context) {
  const std::string shown = testing::PrintToString(std::string(context));
  ASSERT_EQ(heard.has_value(), heard_it) << shown;
  if (!heard) return;
  EXPECT_EQ(heard->host, host) << shown;
  expect_float_bits(heard->ram, ram, context);
}

TEST(ParseAnnouncement, ReadsMatchingAnnouncementsOnly) {
  const struct {
    std::string_view text;
    bool heard;
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
      {"MORUN-MESH|labs|alpha|8.00|1", false, "", 0},
      {"MORUN-MESH|lab", false, "", 0},
      {"MORUN-MESH|lab|", false, "", 0},
      {"MORUN-MESH||alpha|8.00|1", false, "", 0},
      {"MORUN-MESH|lab\0|alpha|8.00|1"sv, false, "", 0},
  };
  for (const auto& c : cases) {
    expect_heard(parse_announcement(c.text, "lab"), c.heard, c.host, c.ram,
                 c.text);
  }
}

TEST(ParseAnnouncement, RoomContainingSeparatorNeverMatches) {
  EXPECT_FALSE(parse_announcement("MORUN-MESH|l|b|alpha|8.00|1", "l|b"));
}

// The peers in `table`, through its one read operation.
PeerMap entries(PeerTable& table) {
  PeerMap copy;
  table.read([&](const PeerMap& peers) { copy = peers; });
  return copy;
}

// What the listener does with one batch of datagrams, each from its sender:
// read_datagram on each, then one record_peer for the announcements.
void hear(PeerTable& table,
          const std::vector<std::pair<std::string_view, IpAddress>>& batch) {
  std::vector<HeardPeer> heard;
  for (const auto& [bytes, sender] : batch) {
    if (const auto announced = read_datagram(bytes, "lab")) {
      heard.push_back(HeardPeer{sender, announced->host, announced->ram});
    }
  }
  table.record_peer(heard);
}

TEST(ReadDatagram, LaterAnnouncementReplacesTheSendersEntry) {
  PeerTable table;
  hear(table, {{"MORUN-MESH|lab|alpha|8.00|1", address(2)}});
  hear(table, {{"MORUN-MESH|lab|beta|16.00|1", address(2)},
               {"MORUN-MESH|other|gamma|1.00|1", address(2)}});
  PeerMap peers = entries(table);
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers.at(address(2)).host, "beta");
  expect_float_bits(peers.at(address(2)).ram, 0x41800000, "replaced");
  EXPECT_EQ(peers.at(address(2)).addr, address(2));
  hear(table, {{"MORUN-MESH|lab|delta|2.00|1", address(3)}});
  EXPECT_EQ(entries(table).size(), 2u);
}

TEST(ReadDatagram, AcceptsOnlyValidUtf8) {
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
    bool heard;
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
  for (const auto& c : cases) {
    expect_heard(read_datagram(c.bytes, "lab"), c.heard, "alpha", 0x41000000,
                 c.bytes);
  }
}

// Why a datagram changed nothing, as the listener counts it: the reader's
// "no" split into not an announcement and another room's.
TEST(ReadDatagram, SaysWhyNothingWasTaken) {
  const struct {
    std::string_view bytes;
    IgnoredReason reason;
  } cases[] = {
      {"MORUN-MESH|lab|alpha|8.00|\xFF", IgnoredReason::kNotUtf8},
      {"\xC0\xAF", IgnoredReason::kNotUtf8},
      {"", IgnoredReason::kNotAnnouncement},
      {"MORUN-MESH|lab|alpha", IgnoredReason::kNotAnnouncement},
      {"MORUN-MESH|lab", IgnoredReason::kNotAnnouncement},
      {"MORUN-MESH|lab|", IgnoredReason::kNotAnnouncement},
      {"MORUN-MES|lab|alpha|8.00|1", IgnoredReason::kNotAnnouncement},
      {"morun-mesh|lab|alpha|8.00|1", IgnoredReason::kNotAnnouncement},
      {"MORUN-MESH|kitchen|alpha|8.00|1", IgnoredReason::kOtherRoom},
      {"MORUN-MESH|la|alpha|8.00|1", IgnoredReason::kOtherRoom},
      {"MORUN-MESH|labs|alpha|8.00|1", IgnoredReason::kOtherRoom},
      {"MORUN-MESH||alpha|", IgnoredReason::kOtherRoom},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.bytes)));
    // Set to a reason none of the rows expects, to see that it is written.
    IgnoredReason reason = IgnoredReason::kOutOfTime;
    EXPECT_FALSE(read_datagram(c.bytes, "lab", &reason));
    EXPECT_EQ(reason, c.reason);
  }
}

// A receive error that persists (here: the descriptor is not a socket) used
// to be retried at once, forever: a thread spinning at a whole core.
TEST(ReceiveDatagrams, PausesAfterAnErrorThatPersists) {
  const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  // The loop never returns; its thread and table live as long as the tests.
  static PeerTable table;
  static NodeCounters counters;
  const auto used = test_support::cpu_time_of_detached(
      [fd] { receive_datagrams(fd, "lab", {}, table, nullptr, counters); },
      std::chrono::milliseconds{1000});
  EXPECT_LT(used, std::chrono::milliseconds{200});
}

}  // namespace
