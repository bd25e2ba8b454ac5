// Arbitrary datagrams through the listener's path (read_datagram: the UTF-8
// check, then the announcement reader; then record_peer) for a node in room
// "lab": at most one record, and a record only for valid text whose magic and
// room match, with the host equal to the third '|'-separated piece.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "discovery.h"
#include "peer_table.h"
#include "utf8.h"

namespace {

std::vector<std::string> split_all(std::string_view text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == '|') {
      pieces.emplace_back();
    } else {
      pieces.back() += c;
    }
  }
  return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > DATAGRAM_BUFFER_SIZE) size = DATAGRAM_BUFFER_SIZE;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  in_addr sender{};
  sender.s_addr = htonl(0x0A000001);
  PeerTable table;
  if (const auto announced = read_datagram(bytes, "lab")) {
    HeardPeer heard[] = {
        {IpAddress::from_v4(sender), announced->host, announced->ram}};
    table.record_peer(heard);
    if (heard[0].recorded != Recorded::kJoined) std::abort();
  }

  const std::vector<std::string> pieces = split_all(bytes);
  const bool should_record = is_valid_utf8(bytes) && pieces.size() >= 4 &&
                             pieces[0] == "MORUN-MESH" && pieces[1] == "lab";
  table.read([&](const PeerMap& peers) {
    if (peers.size() != (should_record ? 1u : 0u)) std::abort();
    if (should_record) {
      const Peer& peer = peers.begin()->second;
      if (peer.host != pieces[2]) std::abort();
      if (!(peer.addr == IpAddress::from_v4(sender))) std::abort();
    }
  });
  return 0;
}
