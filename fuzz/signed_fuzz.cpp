// Arbitrary datagrams through the keyed listener's path
// (read_signed_datagram: the tag, then read_datagram; then record_peer) for
// a node in room "lab" holding one key, from 10.9.0.2, with the clock at
// 2026-01-01T00:00:00Z: the outcome is check_tag's; an accepted datagram is
// exactly what signing its text again gives; only a fresh announcement of
// the room is recorded, and the same datagram again is out of time.

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "discovery.h"
#include "peer_table.h"
#include "room_key.h"

namespace {

constexpr std::int64_t NOW_MS = 1767225600000;

// The key that the seeds are signed with, read as the node reads a file.
RoomKeys read_fuzz_keys() {
  char path[] = "/tmp/pim-fuzz-key-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);  // created with mode 0600
  if (fd < 0) std::abort();
  const std::string_view line =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\n";
  const bool written =
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  close(fd);
  KeyFile file = read_key_file(path);
  (void)unlink(path);
  if (!written || file.keys.size() != 1) std::abort();
  return std::move(file.keys);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const RoomKeys keys = read_fuzz_keys();
  if (size > DATAGRAM_BUFFER_SIZE) size = DATAGRAM_BUFFER_SIZE;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  in_addr source{};
  source.s_addr = htonl(0x0A090002);  // 10.9.0.2
  const SignedDatagram read =
      read_signed_datagram(bytes, source, "lab", keys, NOW_MS);
  const CheckedDatagram checked = check_tag(bytes, source, keys);
  if (read.check != checked.check) std::abort();
  if (checked.check == TagCheck::kAccepted) {
    if (read.ts != checked.ts) std::abort();
    if (sign_announcement(checked.announcement, source, checked.ts, keys) !=
        bytes) {
      std::abort();
    }
  } else if (read.announcement) {
    std::abort();
  }
  if (!read.announcement) return 0;

  PeerTable table;
  HeardPeer heard[] = {
      {IpAddress::from_v4(source), read.announcement->host,
       read.announcement->ram, Recorded::kIgnored, 0, read.ts, read.fresh},
      {IpAddress::from_v4(source), read.announcement->host,
       read.announcement->ram, Recorded::kIgnored, 0, read.ts, read.fresh}};
  table.record_peer(heard);
  const Recorded first = read.fresh ? Recorded::kJoined : Recorded::kOutOfTime;
  if (heard[0].recorded != first) std::abort();
  if (heard[1].recorded != Recorded::kOutOfTime) std::abort();
  return 0;
}
