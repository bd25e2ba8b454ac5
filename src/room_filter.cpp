#include "room_filter.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstdint>

#include "announcement.h"
#include "log.h"

namespace {

// A UDP socket's filter sees the datagram from its 8-byte UDP header on.
constexpr std::uint32_t PAYLOAD_OFFSET = 8;
// A filter's result is the number of bytes to keep: 0 drops the datagram.
constexpr std::uint32_t KEEP_ALL = 0xFFFFFFFF;
constexpr std::uint32_t DROP = 0;

sock_filter load(std::uint16_t size, std::uint32_t offset) {
  return sock_filter{static_cast<std::uint16_t>(BPF_LD | size | BPF_ABS), 0, 0,
                     offset};
}

sock_filter ret(std::uint32_t bytes) {
  return sock_filter{static_cast<std::uint16_t>(BPF_RET | BPF_K), 0, 0, bytes};
}

}  // namespace

std::vector<sock_filter> room_filter_program(std::string_view room) {
  std::string prefix(ANNOUNCEMENT_MAGIC);
  prefix.append("|").append(room).append("|");
  if (room.find('|') != std::string_view::npos ||
      prefix.size() >= DATAGRAM_BUFFER_SIZE) {
    return {ret(DROP)};
  }
  // The prefix in words, then a half-word and a byte for what is left, each
  // loaded and compared; any mismatch jumps to the final DROP. A load past
  // the end of a shorter datagram ends the program with 0, a drop as well.
  // A prefix of at most 255 bytes takes at most 65 pairs, 132 instructions
  // in all: every jump fits the 8-bit offset, and the program stays far
  // below BPF_MAXINSNS (4096).
  std::vector<sock_filter> program;
  program.reserve(2 * (prefix.size() / 4 + 2) + 2);
  std::size_t at = 0;
  while (at < prefix.size()) {
    const std::size_t left = prefix.size() - at;
    const std::size_t width = left >= 4 ? 4 : left >= 2 ? 2 : 1;
    const std::uint16_t size = width == 4 ? BPF_W : width == 2 ? BPF_H : BPF_B;
    // Loads are big-endian: the first byte is the most significant.
    std::uint32_t expected = 0;
    for (std::size_t i = 0; i < width; ++i) {
      expected = (expected << 8) | static_cast<unsigned char>(prefix[at + i]);
    }
    program.push_back(
        load(size, PAYLOAD_OFFSET + static_cast<std::uint32_t>(at)));
    program.push_back(sock_filter{
        static_cast<std::uint16_t>(BPF_JMP | BPF_JEQ | BPF_K), 0, 0, expected});
    at += width;
  }
  program.push_back(ret(KEEP_ALL));
  program.push_back(ret(DROP));
  // A jump goes that many instructions past the one after it.
  const std::size_t drop = program.size() - 1;
  for (std::size_t i = 1; i + 2 < program.size(); i += 2) {
    program[i].jf = static_cast<std::uint8_t>(drop - (i + 1));
  }
  return program;
}

int attach_room_filter(int fd, std::string_view room) {
  std::vector<sock_filter> program = room_filter_program(room);
  const sock_fprog attached{static_cast<unsigned short>(program.size()),
                            program.data()};
  if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &attached,
                 sizeof attached) != 0) {
    return errno;
  }
  return 0;
}

std::string room_filter_refused_line(int error) {
  return "room filter not attached: " + os_error_text(error) +
         "; datagrams of other rooms reach the listener";
}
