#include "announcement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "discovery.h"
#include "float_bits.h"
#include "peer_table.h"

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
  std::thread worker([fd] { receive_datagrams(fd, "lab", table, nullptr); });
  clockid_t clock{};
  ASSERT_EQ(pthread_getcpuclockid(worker.native_handle(), &clock), 0);
  worker.detach();
  const auto cpu = [clock] {
    timespec now{};
    clock_gettime(clock, &now);
    return std::chrono::seconds{now.tv_sec} +
           std::chrono::nanoseconds{now.tv_nsec};
  };
  const auto before = cpu();
  std::this_thread::sleep_for(std::chrono::milliseconds{1000});
  EXPECT_LT(cpu() - before, std::chrono::milliseconds{200});
}

}  // namespace
