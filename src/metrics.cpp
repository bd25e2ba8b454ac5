#include "metrics.h"

#include <charconv>
#include <cmath>
#include <span>

namespace {

// Label values, in the order of their enums.
constexpr std::array<std::string_view, IGNORED_REASONS> IGNORED_LABELS = {
    "not_utf8",    "not_announcement", "other_room",  "unsigned",
    "unknown_key", "bad_signature",    "out_of_time",
};
constexpr std::array<std::string_view, PEER_RESULTS> PEER_LABELS = {
    "joined",
    "refreshed",
    "refused",
    "displaced",
};
constexpr std::array<std::string_view, BROADCAST_RESULTS> BROADCAST_LABELS = {
    "sent",
    "failed",
};
constexpr std::array<std::string_view, STATUS_RESULTS> STATUS_LABELS = {
    "answered",
    "not_get",
    "timed_out",
    "dropped",
};
// A list shorter than its enum would leave its last names empty.
static_assert(!IGNORED_LABELS.back().empty() && !PEER_LABELS.back().empty() &&
              !BROADCAST_LABELS.back().empty() &&
              !STATUS_LABELS.back().empty());

// The node's gigabytes are of 1024^3 bytes; a float times a power of two is
// exact in a double.
constexpr double BYTES_PER_GIGABYTE = 1024.0 * 1024.0 * 1024.0;

template <std::size_t N>
std::array<std::uint64_t, N> load_all(
    const std::array<std::atomic<std::uint64_t>, N>& counters) {
  std::array<std::uint64_t, N> values{};
  for (std::size_t i = 0; i < N; ++i) {
    values[i] = counters[i].load(std::memory_order_relaxed);
  }
  return values;
}

// The HELP text is written as it is: none holds a backslash or a line break.
void append_family(std::string& out, std::string_view name,
                   std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// A label value with backslash, double quote and line feed escaped, the
// three characters the format escapes.
void append_label_value(std::string& out, std::string_view value) {
  for (const char c : value) {
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '"':
        out.append("\\\"");
        break;
      case '\n':
        out.append("\\n");
        break;
      default:
        out.push_back(c);
    }
  }
}

// The shortest decimal that reads back as the same double (an exponent
// where that is shorter), or the format's NaN, +Inf and -Inf.
void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out.append("NaN");
  } else if (std::isinf(value)) {
    out.append(value < 0 ? "-Inf" : "+Inf");
  } else {
    std::array<char, 32> buffer;  // the longest shortest form is 24
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    out.append(buffer.data(), result.ptr);
  }
}

void append_sample(std::string& out, std::string_view name,
                   std::uint64_t value) {
  out.append(name).append(" ").append(std::to_string(value)).append("\n");
}

void append_sample(std::string& out, std::string_view name, double value) {
  out.append(name).append(" ");
  append_float(out, value);
  out.append("\n");
}

// One series per label value, in the order of the list.
void append_labelled(std::string& out, std::string_view name,
                     std::string_view label,
                     std::span<const std::string_view> values,
                     std::span<const std::uint64_t> counts) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    out.append(name).append("{").append(label).append("=\"");
    append_label_value(out, values[i]);
    out.append("\"} ").append(std::to_string(counts[i])).append("\n");
  }
}

}  // namespace

CounterSnapshot NodeCounters::snapshot() const {
  CounterSnapshot counts;
  counts.datagrams_received = received_.load(std::memory_order_relaxed);
  counts.datagrams_ignored = load_all(ignored_);
  counts.peers_recorded = load_all(recorded_);
  counts.peers_expired = expired_.load(std::memory_order_relaxed);
  counts.broadcasts = load_all(broadcasts_);
  counts.status_requests = load_all(status_requests_);
  return counts;
}

std::string metrics_text(const CounterSnapshot& counts,
                         const MetricsGauges& gauges) {
  std::string out;
  out.reserve(4096);  // the whole text is about 3 KB

  constexpr std::string_view RECEIVED = "pim_node_datagrams_received_total";
  append_family(out, RECEIVED, "counter",
                "Datagrams the listener read from its socket. Datagrams "
                "that the kernel's room filter dropped (other rooms, not "
                "announcements) are not counted.");
  append_sample(out, RECEIVED, counts.datagrams_received);

  constexpr std::string_view IGNORED = "pim_node_datagrams_ignored_total";
  append_family(out, IGNORED, "counter",
                "Datagrams read that changed nothing, by reason. The reasons "
                "unsigned, unknown_key, bad_signature and out_of_time occur "
                "only with a room key.");
  append_labelled(out, IGNORED, "reason", IGNORED_LABELS,
                  counts.datagrams_ignored);

  constexpr std::string_view RECORDED = "pim_node_peers_recorded_total";
  append_family(out, RECORDED, "counter",
                "Announcements of this room offered to the peer table, by "
                "result: joined (a new entry), refreshed (a known address), "
                "refused (the table was full), displaced (a new entry in "
                "place of another).");
  append_labelled(out, RECORDED, "result", PEER_LABELS, counts.peers_recorded);

  constexpr std::string_view EXPIRED = "pim_node_peers_expired_total";
  append_family(out, EXPIRED, "counter",
                "Peers removed after 12 s or more without an announcement.");
  append_sample(out, EXPIRED, counts.peers_expired);

  constexpr std::string_view PEERS = "pim_node_peers";
  append_family(out, PEERS, "gauge", "Peers in the table.");
  append_sample(out, PEERS, std::uint64_t{gauges.peers});

  constexpr std::string_view CAPACITY = "pim_node_peers_capacity";
  append_family(out, CAPACITY, "gauge", "The most peers the table holds.");
  append_sample(out, CAPACITY, std::uint64_t{gauges.peers_capacity});

  constexpr std::string_view RAM = "pim_node_ram_bytes";
  append_family(out, RAM, "gauge",
                "This node's own memory figure, as it announces it, in bytes "
                "(the figure is in gigabytes of 1024^3 bytes).");
  append_sample(out, RAM, static_cast<double>(gauges.ram) * BYTES_PER_GIGABYTE);

  constexpr std::string_view TOTAL = "pim_node_total_ram_bytes";
  append_family(out, TOTAL, "gauge",
                "The status document's total memory of this node and its "
                "peers, in bytes; NaN where the document writes null (a "
                "total that is not finite).");
  append_sample(out, TOTAL,
                std::isfinite(gauges.total_ram)
                    ? static_cast<double>(gauges.total_ram) * BYTES_PER_GIGABYTE
                    : std::nan(""));

  constexpr std::string_view BROADCASTS = "pim_node_broadcasts_total";
  append_family(out, BROADCASTS, "counter",
                "Announcements broadcast, by the result of the send.");
  append_labelled(out, BROADCASTS, "result", BROADCAST_LABELS,
                  counts.broadcasts);

  constexpr std::string_view REQUESTS = "pim_node_status_requests_total";
  append_family(out, REQUESTS, "counter",
                "Connections to the status endpoint, by how they ended: "
                "answered, not_get (not a GET, or a failed read or write), "
                "timed_out, dropped (closed to make room for a newer one).");
  append_labelled(out, REQUESTS, "result", STATUS_LABELS,
                  counts.status_requests);

  constexpr std::string_view BUILD = "pim_node_build_info";
  append_family(out, BUILD, "gauge",
                "The node's version, in the version label; always 1.");
  out.append(BUILD).append("{version=\"");
  append_label_value(out, gauges.version);
  out.append("\"} 1\n");

  constexpr std::string_view START = "pim_node_start_time_seconds";
  append_family(out, START, "gauge",
                "When the node started, in seconds since the Unix epoch.");
  append_sample(out, START, gauges.start_time_seconds);
  return out;
}

std::string metrics_response(std::string_view text) {
  std::string response(
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
      "charset=utf-8\r\nContent-Length: ");
  response.append(std::to_string(text.size()));
  response.append("\r\nAccess-Control-Allow-Origin: *\r\n\r\n");
  response.append(text);
  return response;
}

bool is_metrics_request(std::string_view request, bool metrics_on) {
  if (!metrics_on) return false;
  constexpr std::string_view LINE = "GET /metrics";
  if (!request.starts_with(LINE)) return false;
  if (request.size() == LINE.size()) return true;
  const char next = request[LINE.size()];
  return next == ' ' || next == '?';
}
