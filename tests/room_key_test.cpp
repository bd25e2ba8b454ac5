#include "room_key.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery.h"
#include "peer_table.h"

namespace {

// Keys of 32 consecutive byte values (00 01 … 1f, then 20 … 3f, …) and their
// ids, the first 4 bytes of HMAC-SHA256(key, "pim-node key id"), worked out
// with Python's hmac module.
const std::string K1 =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string K2 =
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f";
const std::string K3_UPPER =
    "404142434445464748494A4B4C4D4E4F505152535455565758595A5B5C5D5E5F";
const std::string K4 =
    "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f";
const std::string K5 =
    "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f";
const std::string K6 =
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf";
const std::string K7 =
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf";
const std::string K8 =
    "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

// 2026-01-01T00:00:00Z in ms, the time stamp of the signed datagrams below.
constexpr std::int64_t T = 1767225600000;
constexpr std::int64_t MAX_TS = std::numeric_limits<std::int64_t>::max();

// "MORUN-MESH|lab|alpha|8.00|1" signed from 10.9.0.2 at T with K1 and with
// K2, as Python's hmac and base64 modules (and openssl dgst for the first)
// sign it.
constexpr std::string_view BY_K1 =
    "MORUN-MESH|lab|alpha|8.00|1|k1.93778263.1767225600000."
    "W0LQfBILMibCbhIz1OvzSQ";
constexpr std::string_view BY_K2 =
    "MORUN-MESH|lab|alpha|8.00|1|k1.ea12f189.1767225600000."
    "37B3v0lHKLOOBpPcLGMRiw";
constexpr std::string_view PAYLOAD = "MORUN-MESH|lab|alpha|8.00|1";

in_addr v4(const char* text) {
  in_addr addr{};
  EXPECT_EQ(inet_pton(AF_INET, text, &addr), 1) << text;
  return addr;
}

// A scratch directory of key files, removed with them on destruction.
class KeyDirectory {
 public:
  KeyDirectory() {
    char path[] = "/tmp/pim-unit-keys-XXXXXX";
    if (mkdtemp(path) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = path;
  }
  ~KeyDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  KeyDirectory(const KeyDirectory&) = delete;
  KeyDirectory& operator=(const KeyDirectory&) = delete;

  std::string path(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }
  // Writes `text` to `name` with exactly `mode` (the umask left out).
  std::string write(std::string_view name, std::string_view text,
                    mode_t mode = 0600) const {
    const std::string file = path(name);
    const int fd =
        open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << file;
    EXPECT_EQ(::write(fd, text.data(), text.size()),
              static_cast<ssize_t>(text.size()));
    EXPECT_EQ(fchmod(fd, mode), 0);
    close(fd);
    return file;
  }
  RoomKeys keys(std::string_view name, std::string_view text) const {
    const KeyFile file = read_key_file(write(name, text));
    EXPECT_EQ(file.diagnostic, "");
    return file.keys;
  }

 private:
  std::string path_;
};

std::vector<std::string> kids_of(const RoomKeys& keys) {
  std::vector<std::string> kids;
  for (const RoomKey& key : keys) kids.emplace_back(key.kid.data(), 8);
  return kids;
}

TEST(RoomKey, ReadsOrRefusesKeyFiles) {
  const KeyDirectory dir;
  const std::string comment_padding(65536 - 65 - 2, 'x');
  struct Case {
    std::string name;
    std::optional<std::string> text;  // nullopt: a directory by that name
    mode_t mode;
    std::string refusal;  // after "key file PATH: "; empty when read
    std::vector<std::string> kids = {};
  } cases[] = {
      {"only-key", K1 + "\n", 0600, "", {"93778263"}},
      {"read-only", K1, 0400, "", {"93778263"}},
      {"rotating",
       "# new key first\n" + K2 + "\n" + K1 + "\n",
       0600,
       "",
       {"ea12f189", "93778263"}},
      {"eight-keys",
       "# room lab\n\n" + K1 + "\n  \t\n# retired next month\n" + K2 + "\n" +
           K3_UPPER + "\n" + K4 + "\n\n" + K5 + "\n" + K6 + "\n#\n" + K7 +
           "\n" + K8,
       0600,
       "",
       {"93778263", "ea12f189", "4f888d70", "48552f2e", "589a13d3", "0cfeffbf",
        "7bbe7c29", "2bc9f856"}},
      {"at-the-limit",
       K1 + "\n#" + comment_padding + "\n",
       0600,
       "",
       {"93778263"}},
      {"group-readable", K1 + "\n", 0640,
       "readable or writable by group or others (mode 0640)"},
      {"group-writable", K1 + "\n", 0620,
       "readable or writable by group or others (mode 0620)"},
      {"others-readable", K1 + "\n", 0604,
       "readable or writable by group or others (mode 0604)"},
      {"others-writable", K1 + "\n", 0602,
       "readable or writable by group or others (mode 0602)"},
      {"a-directory", std::nullopt, 0700, "Is a directory (os error 21)"},
      {"past-the-limit", K1 + "\n#" + comment_padding + "x\n", 0600,
       "longer than 65536 bytes"},
      {"empty", "", 0600, "holds no key"},
      {"comments-only", "# no key yet\n\n  \n", 0600, "holds no key"},
      {"nine-keys",
       "# nine\n" + K1 + "\n" + K2 + "\n" + K3_UPPER + "\n" + K4 + "\n" + K5 +
           "\n" + K6 + "\n" + K7 + "\n" + K8 + "\n" + K1 + "\n",
       0600, "line 10 holds key 9; a key file holds at most 8"},
      {"short-key", K1 + "\n" + K2.substr(1) + "\n", 0600,
       "line 2 is not 64 hexadecimal digits"},
      {"long-key", K1 + "0\n", 0600, "line 1 is not 64 hexadecimal digits"},
      {"not-hex", "\n\n" + K1.substr(0, 63) + "g\n", 0600,
       "line 3 is not 64 hexadecimal digits"},
      {"trailing-space", K1 + " \n", 0600,
       "line 1 is not 64 hexadecimal digits"},
      {"crlf", K1 + "\r\n", 0600, "line 1 is not 64 hexadecimal digits"},
      {"indented-comment", " # a comment\n" + K1 + "\n", 0600,
       "line 1 is not 64 hexadecimal digits"},
      {"hex-prefix", "0x" + K1 + "\n", 0600,
       "line 1 is not 64 hexadecimal digits"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.path(c.name);
    if (c.text) {
      path = dir.write(c.name, *c.text, c.mode);
    } else {
      ASSERT_EQ(mkdir(path.c_str(), c.mode), 0);
    }
    const KeyFile file = read_key_file(path);
    EXPECT_EQ(file.diagnostic,
              c.refusal.empty() ? "" : "key file " + path + ": " + c.refusal);
    EXPECT_EQ(kids_of(file.keys), c.kids);
  }

  // Paths that need no file; a control character is escaped so that the
  // path cannot end the diagnostic's line.
  EXPECT_EQ(read_key_file(dir.path("absent")).diagnostic,
            "key file " + dir.path("absent") +
                ": No such file or directory (os error 2)");
  EXPECT_EQ(read_key_file(dir.path("absent\nforged line")).diagnostic,
            "key file " + dir.path("absent") +
                "\\nforged line: No such file or directory (os error 2)");
}

TEST(RoomKey, SignsWithTheFirstKey) {
  const KeyDirectory dir;
  const RoomKeys k1 = dir.keys("k1", K1);
  const RoomKeys rotating = dir.keys("k2-k1", K2 + "\n" + K1);
  const struct {
    const RoomKeys& keys;
    std::string_view payload;
    const char* source;
    std::int64_t ts;
    std::string_view expected;
  } cases[] = {
      {k1, PAYLOAD, "10.9.0.2", T, BY_K1},
      {rotating, PAYLOAD, "10.9.0.2", T, BY_K2},
      {k1, PAYLOAD, "10.9.0.3", T,
       "MORUN-MESH|lab|alpha|8.00|1|k1.93778263.1767225600000."
       "m9cWZYg9pkzPL2I1XtqQIA"},
      {k1, PAYLOAD, "10.9.0.2", 0,
       "MORUN-MESH|lab|alpha|8.00|1|k1.93778263.0.teIlXDOB3UXCizbkdvEZcQ"},
      {k1, PAYLOAD, "10.9.0.2", -1,
       "MORUN-MESH|lab|alpha|8.00|1|k1.93778263.0.teIlXDOB3UXCizbkdvEZcQ"},
      {k1, PAYLOAD, "10.9.0.2", MAX_TS,
       "MORUN-MESH|lab|alpha|8.00|1|k1.93778263.9223372036854775807."
       "SNnbIYXs-Ukzp8TEs4ZOKw"},
      {k1, "", "10.9.0.2", T,
       "|k1.93778263.1767225600000.AqhWyPUa0Ul8XsGX1i46wQ"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sign_announcement(c.payload, v4(c.source), c.ts, c.keys),
              c.expected);
  }
}

TEST(RoomKey, ChecksTagsAndTheirTime) {
  const KeyDirectory dir;
  const RoomKeys k1 = dir.keys("k1", K1);
  const RoomKeys k2 = dir.keys("k2", K2);
  const RoomKeys rotating = dir.keys("k2-k1", K2 + "\n" + K1);
  // What the listener's own path makes of a datagram: read_signed_datagram
  // at `now`, then record_peer into a table that holds `known` (the source
  // unless given) with the time stamp `last_ts`, when one is given. kOther:
  // the tag checks, but the text before it is no announcement for lab.
  enum Outcome {
    kAccepted,
    kUnsigned,
    kUnknownKey,
    kBadSignature,
    kLate,
    kOther
  };
  const std::string by_k1(BY_K1);
  const std::string head = "MORUN-MESH|lab|alpha|8.00|1|";
  const std::string mac = "W0LQfBILMibCbhIz1OvzSQ";
  const struct {
    std::string_view name;
    const RoomKeys& keys;
    std::string datagram;
    const char* source = "10.9.0.2";
    std::int64_t now = T;
    std::optional<std::int64_t> last_ts = std::nullopt;
    Outcome outcome = kAccepted;
    std::string_view announcement = "";
    std::int64_t ts = 0;
    const char* known = nullptr;
  } cases[] = {
      {"signed", k1, by_k1, "10.9.0.2", T, {}, kAccepted, PAYLOAD, T},
      {"second key verifies",
       rotating,
       by_k1,
       "10.9.0.2",
       T,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"first key verifies",
       rotating,
       std::string(BY_K2),
       "10.9.0.2",
       T,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"time stamp 0",
       k1,
       head + "k1.93778263.0.teIlXDOB3UXCizbkdvEZcQ",
       "10.9.0.2",
       60000,
       {},
       kAccepted,
       PAYLOAD,
       0},
      {"largest time stamp",
       k1,
       head + "k1.93778263.9223372036854775807.SNnbIYXs-Ukzp8TEs4ZOKw",
       "10.9.0.2",
       MAX_TS - 60000,
       {},
       kAccepted,
       PAYLOAD,
       MAX_TS},
      {"empty announcement",
       k1,
       "|k1.93778263.1767225600000.AqhWyPUa0Ul8XsGX1i46wQ",
       "10.9.0.2",
       T,
       {},
       kOther,
       "",
       T},
      {"host with a bar",
       k1,
       "MORUN-MESH|lab|a|b|8.00|1|k1.93778263.1767225600000."
       "qF3YHKpbERnMDhdvcWgPnw",
       "10.9.0.2",
       T,
       {},
       kAccepted,
       "MORUN-MESH|lab|a|b|8.00|1",
       T},

      // The clock window for an address not in the table, both ways.
      {"59.999 s old",
       k1,
       by_k1,
       "10.9.0.2",
       T + 59999,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"60.000 s old",
       k1,
       by_k1,
       "10.9.0.2",
       T + 60000,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"60.001 s old", k1, by_k1, "10.9.0.2", T + 60001, {}, kLate},
      {"59.999 s ahead",
       k1,
       by_k1,
       "10.9.0.2",
       T - 59999,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"60.000 s ahead",
       k1,
       by_k1,
       "10.9.0.2",
       T - 60000,
       {},
       kAccepted,
       PAYLOAD,
       T},
      {"60.001 s ahead", k1, by_k1, "10.9.0.2", T - 60001, {}, kLate},
      {"largest time stamp at 1970",
       k1,
       head + "k1.93778263.9223372036854775807.SNnbIYXs-Ukzp8TEs4ZOKw",
       "10.9.0.2",
       0,
       {},
       kLate},
      {"time stamp 0 at the largest clock",
       k1,
       head + "k1.93778263.0.teIlXDOB3UXCizbkdvEZcQ",
       "10.9.0.2",
       MAX_TS,
       {},
       kLate},
      // An address in the table: only later than its last time stamp.
      {"later than the last", k1, by_k1, "10.9.0.2", T, T - 1, kAccepted,
       PAYLOAD, T},
      {"replay of the last", k1, by_k1, "10.9.0.2", T, T, kLate},
      {"older than the last", k1, by_k1, "10.9.0.2", T, T + 3000, kLate},
      {"later, an hour off the clock", k1, by_k1, "10.9.0.2", T + 3600000,
       T - 1, kAccepted, PAYLOAD, T},
      // Another address in the table does not make this one known.
      {"new address 60.001 s old beside a known one", k1, by_k1, "10.9.0.2",
       T + 60001, T - 1, kLate, "", 0, "10.9.0.3"},
      {"new address beside one with a later time stamp", k1, by_k1, "10.9.0.2",
       T, T + 3000, kAccepted, PAYLOAD, T, "10.9.0.3"},
      // A copy of a known peer's announcement sent from another address.
      {"known peer's tag from another address", k1, by_k1, "10.9.0.3", T, T - 1,
       kBadSignature, "", 0, "10.9.0.2"},

      {"unknown key", k2, by_k1, "10.9.0.2", T, {}, kUnknownKey},
      {"another source", k1, by_k1, "10.9.0.3", T, {}, kBadSignature},
      {"another figure",
       k1,
       "MORUN-MESH|lab|alpha|9.00|1|k1.93778263.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kBadSignature},
      {"another time stamp",
       k1,
       head + "k1.93778263.1767225600001." + mac,
       "10.9.0.2",
       T,
       {},
       kBadSignature},
      {"MAC changed",
       k1,
       head + "k1.93778263.1767225600000.X" + mac.substr(1),
       "10.9.0.2",
       T,
       {},
       kBadSignature},
      // The last character holds 2 bits of the MAC; R differs from Q only in
      // bits past the 16 bytes.
      {"MAC's spare bits set",
       k1,
       head + "k1.93778263.1767225600000." + mac.substr(0, 21) + "R",
       "10.9.0.2",
       T,
       {},
       kBadSignature},

      {"no tag", k1, std::string(PAYLOAD), "10.9.0.2", T, {}, kUnsigned},
      {"empty", k1, "", "10.9.0.2", T, {}, kUnsigned},
      {"no bar", k1, by_k1.substr(head.size()), "10.9.0.2", T, {}, kUnsigned},
      {"tag before the last bar",
       k1,
       by_k1 + "|",
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"text after the tag", k1, by_k1 + "|x", "10.9.0.2", T, {}, kUnsigned},
      {"other version",
       k1,
       head + "k2.93778263.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"upper-case version",
       k1,
       head + "K1.93778263.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"upper-case id",
       k2,
       head + "k1.EA12F189.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"7-digit id",
       k1,
       head + "k1.9377826.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"9-digit id",
       k1,
       head + "k1.937782630.1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"colon for dot",
       k1,
       head + "k1.93778263:1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"no time stamp",
       k1,
       head + "k1.93778263.." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"leading zero",
       k1,
       head + "k1.93778263.01767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"plus sign",
       k1,
       head + "k1.93778263.+1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"minus sign",
       k1,
       head + "k1.93778263.-1767225600000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"time stamp past 64 bits",
       k1,
       head + "k1.93778263.9223372036854775808." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"20-digit time stamp",
       k1,
       head + "k1.93778263.10000000000000000000." + mac,
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"21-character MAC",
       k1,
       head + "k1.93778263.1767225600000." + mac.substr(1),
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"23-character MAC", k1, by_k1 + "A", "10.9.0.2", T, {}, kUnsigned},
      {"padded MAC", k1, by_k1 + "==", "10.9.0.2", T, {}, kUnsigned},
      {"standard base64",
       k1,
       head + "k1.93778263.1767225600000.W0LQfBILMibCbhIz1Ovz+/",
       "10.9.0.2",
       T,
       {},
       kUnsigned},
      {"trailing newline", k1, by_k1 + "\n", "10.9.0.2", T, {}, kUnsigned},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const in_addr source = v4(c.source);
    const CheckedDatagram checked = check_tag(c.datagram, source, c.keys);
    PeerTable table;
    if (c.last_ts) {
      HeardPeer seed[] = {{IpAddress::from_v4(v4(c.known ? c.known : c.source)),
                           "seed", 1.0f, Recorded::kIgnored, 0, *c.last_ts,
                           true}};
      table.record_peer(seed);
      ASSERT_EQ(seed[0].recorded, Recorded::kJoined);
    }
    const SignedDatagram read =
        read_signed_datagram(c.datagram, source, "lab", c.keys, c.now);
    EXPECT_EQ(read.check, checked.check);
    Outcome outcome = kOther;
    switch (read.check) {
      case TagCheck::kAccepted:
        if (read.announcement) {
          HeardPeer heard[] = {{IpAddress::from_v4(source),
                                read.announcement->host, read.announcement->ram,
                                Recorded::kIgnored, 0, read.ts, read.fresh}};
          table.record_peer(heard);
          const Recorded recorded = heard[0].recorded;
          outcome = recorded == Recorded::kOutOfTime ? kLate : kAccepted;
          EXPECT_NE(recorded, Recorded::kRefused);
        }
        break;
      case TagCheck::kUnsigned:
        outcome = kUnsigned;
        break;
      case TagCheck::kUnknownKey:
        outcome = kUnknownKey;
        break;
      case TagCheck::kBadSignature:
        outcome = kBadSignature;
        break;
    }
    EXPECT_EQ(outcome, c.outcome);
    if (c.outcome == kAccepted || c.outcome == kOther) {
      EXPECT_EQ(checked.announcement, c.announcement);
      EXPECT_EQ(checked.ts, c.ts);
      EXPECT_EQ(read.ts, c.ts);
    }
    // An accepted one leaves its time stamp in the table, a refresh too.
    if (c.outcome == kAccepted) {
      table.read([&](const PeerMap& peers) {
        const auto found = peers.find(IpAddress::from_v4(source));
        ASSERT_NE(found, peers.end());
        EXPECT_EQ(found->second.ts, c.ts);
      });
    }
  }
}

TEST(RoomKey, GeneratesFreshKeyLines) {
  const std::optional<std::string> first = generate_key_line();
  const std::optional<std::string> second = generate_key_line();
  ASSERT_TRUE(first && second);
  for (const std::string& line : {*first, *second}) {
    ASSERT_EQ(line.size(), 65u) << line;
    EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), 64u) << line;
    EXPECT_EQ(line.back(), '\n');
  }
  EXPECT_NE(*first, *second);
  const KeyDirectory dir;
  EXPECT_EQ(dir.keys("generated", *first + *second).size(), 2u);
}

}  // namespace
