#include "room_key.h"

#include <errno.h>
#include <fcntl.h>
#include <nettle/base16.h>
#include <nettle/base64.h>
#include <nettle/memops.h>
#include <nettle/version.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log.h"
#include "text_format.h"

// Written for nettle 3's interface, whose digest functions take the length
// of the output.
static_assert(NETTLE_VERSION_MAJOR == 3,
              "the room key is written for nettle 3");

namespace {

constexpr std::string_view KID_CONTEXT = "pim-node key id";
// "pim-node k1" and the zero byte that ends it.
constexpr std::string_view MAC_CONTEXT{"pim-node k1\0", 12};
constexpr std::string_view TAG_START = "k1.";
constexpr std::size_t KEY_BYTES = 32;
constexpr std::size_t KEY_DIGITS = 2 * KEY_BYTES;
constexpr std::size_t KID_DIGITS = sizeof(RoomKey::kid);
constexpr std::size_t MAC_BYTES = 16;
// base64url without padding: a character for each 6 bits, the last one
// holding 2 bits and 4 zero bits.
constexpr std::size_t MAC_CHARS = (8 * MAC_BYTES + 5) / 6;
static_assert(MAC_CHARS == 22);
// The largest time stamp: it fits in a signed 64-bit integer.
constexpr std::string_view MAX_TS_TEXT = "9223372036854775807";

using Mac = std::array<char, MAC_CHARS>;  // base64url, no padding

void hmac_update(hmac_sha256_ctx& state, std::string_view text) {
  hmac_sha256_update(&state, text.size(),
                     reinterpret_cast<const std::uint8_t*>(text.data()));
}

// The first `digest.size()` bytes of the HMAC of what `state` has absorbed.
// The state is wiped.
template <std::size_t N>
void hmac_finish(hmac_sha256_ctx& state, std::array<std::uint8_t, N>& digest) {
  static_assert(N <= SHA256_DIGEST_SIZE);
  hmac_sha256_digest(&state, digest.size(), digest.data());
  explicit_bzero(&state, sizeof state);
}

// The MAC of a datagram from `source` whose bytes before the MAC are
// `signed_text`.
Mac mac_of(const RoomKey& key, const in_addr& source,
           std::string_view signed_text) {
  hmac_sha256_ctx state = key.hmac;
  hmac_update(state, MAC_CONTEXT);
  std::array<char, sizeof source.s_addr> address;
  std::memcpy(address.data(), &source.s_addr, address.size());
  hmac_update(state, std::string_view(address.data(), address.size()));
  hmac_update(state, signed_text);
  std::array<std::uint8_t, MAC_BYTES> digest;
  hmac_finish(state, digest);

  // The encoder writes 21 characters for the first 126 bits, then the last
  // character and "==" padding, which is left out.
  std::array<char, BASE64_ENCODE_LENGTH(MAC_BYTES) + BASE64_ENCODE_FINAL_LENGTH>
      text;
  static_assert(BASE64_ENCODE_RAW_LENGTH(MAC_BYTES) == MAC_CHARS + 2);
  base64_encode_ctx encoder;
  base64url_encode_init(&encoder);
  const std::size_t head =
      base64_encode_update(&encoder, text.data(), digest.size(), digest.data());
  (void)base64_encode_final(&encoder, text.data() + head);
  Mac mac;
  std::memcpy(mac.data(), text.data(), mac.size());
  return mac;
}

// The key in `hex` (KEY_DIGITS hexadecimal digits, already checked) absorbed;
// its bytes are wiped here.
RoomKey absorb_key(std::string_view hex) {
  std::array<std::uint8_t, KEY_BYTES> bytes;
  static_assert(BASE16_DECODE_LENGTH(KEY_DIGITS) == KEY_BYTES);
  base16_decode_ctx decoder;
  base16_decode_init(&decoder);
  std::size_t length = 0;
  (void)base16_decode_update(&decoder, &length, bytes.data(), hex.size(),
                             hex.data());  // checked before
  RoomKey key;
  hmac_sha256_set_key(&key.hmac, bytes.size(), bytes.data());
  explicit_bzero(bytes.data(), bytes.size());
  explicit_bzero(&decoder, sizeof decoder);

  hmac_sha256_ctx state = key.hmac;
  hmac_update(state, KID_CONTEXT);
  std::array<std::uint8_t, KID_DIGITS / 2> digest;
  hmac_finish(state, digest);
  base16_encode_update(key.kid.data(), digest.size(), digest.data());
  return key;
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

bool is_key_line(std::string_view line) {
  if (line.size() != KEY_DIGITS) return false;
  for (const char c : line) {
    if (!is_hex_digit(c)) return false;
  }
  return true;
}

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos;
}

// Adds the keys in `text` to `keys` and returns why the text is refused
// (without the file's name), or "" when it is not.
std::string parse_keys(std::string_view text, RoomKeys& keys) {
  keys.reserve(MAX_ROOM_KEYS);
  std::size_t line_number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++line_number;
    if (is_blank(line) || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(line_number);
    if (!is_key_line(line)) return where + " is not 64 hexadecimal digits";
    if (keys.size() == MAX_ROOM_KEYS) {
      return where + " holds key " + std::to_string(MAX_ROOM_KEYS + 1) +
             "; a key file holds at most " + std::to_string(MAX_ROOM_KEYS);
    }
    keys.push_back(absorb_key(line));
  }
  return keys.empty() ? "holds no key" : "";
}

// Fills `buffer` from `fd` until it is full or the file ends; `length` is
// what was read. Returns 0 or the errno of the read that failed.
int read_up_to(int fd, std::vector<char>& buffer, std::size_t& length) {
  length = 0;
  while (length < buffer.size()) {
    const ssize_t got =
        read(fd, buffer.data() + length, buffer.size() - length);
    if (got < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return error;
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  return 0;
}

// Adds the keys of the file open on `fd` to `keys` and returns why the file
// is refused, or "" when it is not. The buffer holding its text is wiped.
std::string read_keys(int fd, RoomKeys& keys) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    return os_error_text(error);
  }
  if ((status.st_mode & 066) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o",
                  static_cast<unsigned>(status.st_mode & 07777));
    return std::string("readable or writable by group or others (mode ") +
           mode + ")";
  }
  std::vector<char> buffer(KEY_FILE_LIMIT + 1);
  std::size_t length = 0;
  std::string refusal;
  if (const int error = read_up_to(fd, buffer, length); error != 0) {
    refusal = os_error_text(error);
  } else if (length > KEY_FILE_LIMIT) {
    refusal = "longer than " + std::to_string(KEY_FILE_LIMIT) + " bytes";
  } else {
    refusal = parse_keys(std::string_view(buffer.data(), length), keys);
  }
  explicit_bzero(buffer.data(), buffer.size());
  return refusal;
}

// The time stamp in `text`, or nullopt when it is not a tag's: "0", or
// digits without a leading zero up to MAX_TS_TEXT.
std::optional<std::int64_t> read_ts(std::string_view text) {
  if (text.empty() || text.size() > MAX_TS_TEXT.size()) return std::nullopt;
  if (text.size() > 1 && text.front() == '0') return std::nullopt;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Same length: the digits compare as the numbers do.
  if (text.size() == MAX_TS_TEXT.size() && text > MAX_TS_TEXT) {
    return std::nullopt;
  }
  std::int64_t ts = 0;
  for (const char c : text) ts = ts * 10 + (c - '0');
  return ts;
}

bool is_base64url(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

RoomKey::~RoomKey() { explicit_bzero(&hmac, sizeof hmac); }

KeyFile read_key_file(const std::string& path) {
  KeyFile result;
  std::string refusal;
  // O_NONBLOCK: a FIFO in the key's place must not hold up the start.
  const int fd =
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    refusal = os_error_text(error);
  } else {
    refusal = read_keys(fd, result.keys);
    close(fd);
  }
  if (!refusal.empty()) {
    result.keys.clear();
    result.diagnostic = "key file ";
    append_json_escaped(result.diagnostic, path);
    result.diagnostic.append(": ").append(refusal);
  }
  return result;
}

std::string sign_announcement(std::string_view payload, const in_addr& source,
                              std::int64_t ts, const RoomKeys& keys) {
  const RoomKey& key = keys.front();
  std::string datagram(payload);
  datagram.append("|").append(TAG_START);
  datagram.append(key.kid.data(), key.kid.size()).append(".");
  datagram.append(std::to_string(ts < 0 ? 0 : ts)).append(".");
  const Mac mac = mac_of(key, source, datagram);
  datagram.append(mac.data(), MAC_CHARS);
  return datagram;
}

CheckedDatagram check_tag(std::string_view datagram, const in_addr& source,
                          const RoomKeys& keys) {
  CheckedDatagram result;
  const std::size_t bar = datagram.rfind('|');
  if (bar == std::string_view::npos) return result;
  std::string_view tag = datagram.substr(bar + 1);
  // "k1." KID "." TS "." MAC, the shortest TS being one digit.
  if (tag.size() < TAG_START.size() + KID_DIGITS + 3 + MAC_CHARS ||
      !tag.starts_with(TAG_START)) {
    return result;
  }
  tag.remove_prefix(TAG_START.size());
  const std::string_view kid = tag.substr(0, KID_DIGITS);
  for (const char c : kid) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return result;
  }
  if (tag[KID_DIGITS] != '.') return result;
  tag.remove_prefix(KID_DIGITS + 1);
  const std::string_view mac = tag.substr(tag.size() - MAC_CHARS);
  tag.remove_suffix(MAC_CHARS);
  if (tag.back() != '.') return result;
  tag.remove_suffix(1);
  const std::optional<std::int64_t> ts = read_ts(tag);
  if (!ts) return result;
  for (const char c : mac) {
    if (!is_base64url(c)) return result;
  }

  result.check = TagCheck::kUnknownKey;
  const std::string_view signed_text =
      datagram.substr(0, datagram.size() - MAC_CHARS);
  for (const RoomKey& key : keys) {
    if (std::string_view(key.kid.data(), key.kid.size()) != kid) continue;
    result.check = TagCheck::kBadSignature;
    const Mac expected = mac_of(key, source, signed_text);
    if (memeql_sec(expected.data(), mac.data(), MAC_CHARS) != 0) {
      result.check = TagCheck::kAccepted;
      result.announcement = datagram.substr(0, bar);
      result.ts = *ts;
      break;
    }
  }
  return result;
}

// A time stamp and a clock reading, both in ms since 1970.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool tag_in_time(std::int64_t ts, std::int64_t now_ms,
                 std::optional<std::int64_t> last_ts) {
  if (last_ts) return ts > *last_ts;
  // Unsigned: the distance between any two 64-bit readings fits.
  const std::uint64_t distance =
      ts >= now_ms
          ? static_cast<std::uint64_t>(ts) - static_cast<std::uint64_t>(now_ms)
          : static_cast<std::uint64_t>(now_ms) - static_cast<std::uint64_t>(ts);
  return distance <= static_cast<std::uint64_t>(TAG_CLOCK_WINDOW_MS);
}

std::optional<std::string> generate_key_line() {
  std::array<std::uint8_t, KEY_BYTES> bytes;
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got =
        getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      explicit_bzero(bytes.data(), bytes.size());
      errno = error;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  std::string line(KEY_DIGITS + 1, '\n');
  base16_encode_update(line.data(), bytes.size(), bytes.data());
  explicit_bzero(bytes.data(), bytes.size());
  return line;
}
