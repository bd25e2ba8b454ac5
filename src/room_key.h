// The room key: reading the key file, signing the announcement and checking
// the tag of a received one. Pure functions over values, for any thread,
// with nothing to start first. Takes no lock.
#pragma once

#include <netinet/in.h>
#include <nettle/hmac.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A key file holds 1 to this many keys.
inline constexpr std::size_t MAX_ROOM_KEYS = 8;
// A longer key file is refused: a real one is a few hundred bytes.
inline constexpr std::size_t KEY_FILE_LIMIT = 65536;
// The first announcement heard from an address is accepted only when its
// time stamp is at most this far from the receiver's clock, either way.
inline constexpr std::int64_t TAG_CLOCK_WINDOW_MS = 60000;

// One key of a key file, ready for use: its id and HMAC-SHA256 with the key
// absorbed (copied for each message, never updated in place). The key's own
// bytes are not kept. The state signs as well as the key would, so every
// copy wipes it when destroyed.
struct RoomKey {
  std::array<char, 8> kid{};  // as in tags: 8 lower-case hexadecimal digits
  hmac_sha256_ctx hmac{};

  RoomKey() = default;
  RoomKey(const RoomKey&) = default;
  RoomKey& operator=(const RoomKey&) = default;
  ~RoomKey();
};

// The keys in the file's order: the first signs, every one verifies.
using RoomKeys = std::vector<RoomKey>;

// A key file as read: its keys, or why it was refused.
struct KeyFile {
  RoomKeys keys;  // empty when refused
  // "key file PATH: why" (the path escaped, the line number where one
  // applies, never a key), for exit_with_diagnostic; empty when read.
  std::string diagnostic;
};

// Reads the key file at `path`. Each line is a key of exactly 64 hexadecimal
// digits in either case, a comment starting with '#' in its first column, or
// blank (nothing but spaces and tabs); anything else, a '\r' included, is
// refused with its line number. Also refused: a file that cannot be opened or
// read, one whose mode lets group or others read or write it (checked on the
// opened descriptor), one longer than KEY_FILE_LIMIT, no key, more than
// MAX_ROOM_KEYS keys. The file's text and the key bytes are wiped before it
// returns.
KeyFile read_key_file(const std::string& path);

// payload + "|k1.KID.TS.MAC" with the first of `keys` (which must not be
// empty): KID is that key's id, TS is `ts` (the real-time clock, whole ms
// since 1970; a reading before 1970 is written as 0) in plain decimal, MAC is
// base64url without padding of the first 16 bytes of HMAC-SHA256 over
// "pim-node k1", a zero byte, the 4 bytes of `source` (the address receivers
// see the datagram come from) and every byte before the MAC.
std::string sign_announcement(std::string_view payload, const in_addr& source,
                              std::int64_t ts, const RoomKeys& keys);

// What check_tag found; ignored datagrams are counted by it.
enum class TagCheck {
  kAccepted,      // a key of the set made this tag for this source
  kUnsigned,      // the text after the last '|' is not a tag
  kUnknownKey,    // a tag, but no key has its id
  kBadSignature,  // keys with its id exist, but none made this MAC
};

struct CheckedDatagram {
  TagCheck check = TagCheck::kUnsigned;
  std::string_view announcement;  // kAccepted: the text before the tag's '|'
  std::int64_t ts = 0;            // kAccepted: the sender's clock, ms
};

// Checks the tag of one datagram as received (at most 256 bytes) from
// `source`. The tag is the text after the datagram's last '|', exactly:
// "k1.", 8 lower-case hexadecimal digits, '.', TS, '.', 22 base64url
// characters (A-Z a-z 0-9 - _). TS is "0" or a decimal number without sign
// or leading zeros of at most 9223372036854775807. MACs are compared in
// constant time. The announcement views `datagram`; the time stamp still has
// to pass tag_in_time.
CheckedDatagram check_tag(std::string_view datagram, const in_addr& source,
                          const RoomKeys& keys);

// Whether an accepted tag's `ts` is in time at a receiver whose real-time
// clock reads `now_ms`: from an address not in the table (no `last_ts`), at
// most TAG_CLOCK_WINDOW_MS before or after `now_ms` (60.000 s off is in,
// 60.001 s is out); from one in the table, later than `last_ts`, the time
// stamp of its last accepted announcement, however far from the clock.
bool tag_in_time(std::int64_t ts, std::int64_t now_ms,
                 std::optional<std::int64_t> last_ts);

// A fresh key as a key file's line: 64 lower-case hexadecimal digits and a
// newline, from the kernel's random source (getrandom, which blocks until
// that source is ready at boot). nullopt when getrandom fails, errno then
// saying why; the key's bytes are wiped either way.
std::optional<std::string> generate_key_line();
