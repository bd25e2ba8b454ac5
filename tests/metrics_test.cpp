#include "metrics.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "test_support.h"

namespace {

TEST(MetricsRequest, PathRule) {
  const struct {
    std::string_view request;
    bool metrics_on;
    bool metrics;
  } cases[] = {
      {"GET /metrics", true, true},
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:47833\r\n\r\n", true, true},
      {"GET /metrics?x", true, true},
      {"GET /metricsx", true, false},
      {"GET /", true, false},
      {"GET /metric", true, false},
      {"GET  /metrics", true, false},
      {"get /metrics", true, false},
      // A scraper's request line and headers, as the one 64-byte read
      // leaves them.
      {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:47833\r\nUser-Agent: Prome",
       true, true},
      {"GET /metrics", false, false},
      {"GET /metrics HTTP/1.1\r\n\r\n", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_metrics_request(c.request, c.metrics_on), c.metrics)
        << testing::PrintToString(std::string(c.request)) << " with metrics "
        << (c.metrics_on ? "on" : "off");
  }
}

// Counts as the node's threads make them, through the counters' own adds.
CounterSnapshot small_snapshot() {
  NodeCounters counters;
  counters.count_received(12);
  counters.count(IgnoredReason::kNotUtf8);
  counters.count(IgnoredReason::kOtherRoom, 5);
  counters.count(PeerResult::kJoined, 2);
  counters.count(PeerResult::kRefreshed, 4);
  counters.count_expired(1);
  counters.count(BroadcastResult::kSent);
  counters.count(BroadcastResult::kSent);
  counters.count(BroadcastResult::kFailed);
  counters.count(StatusResult::kAnswered);
  counters.count(StatusResult::kAnswered);
  counters.count(StatusResult::kDropped);
  return counters.snapshot();
}

TEST(MetricsText, WholeExposition) {
  MetricsGauges gauges;
  gauges.peers = 2;
  gauges.peers_capacity = 16384;
  gauges.ram = 8.0f;
  gauges.total_ram = std::numeric_limits<float>::infinity();
  gauges.version = "0.2.0+git.\"x\\y\"\n";
  gauges.start_time_seconds = 1718000000.25;
  EXPECT_EQ(
      metrics_text(small_snapshot(), gauges),
      "# HELP pim_node_datagrams_received_total Datagrams the listener read "
      "from its socket. Datagrams that the kernel's room filter dropped (other "
      "rooms, not announcements) are not counted.\n"
      "# TYPE pim_node_datagrams_received_total counter\n"
      "pim_node_datagrams_received_total 12\n"
      "# HELP pim_node_datagrams_ignored_total Datagrams read that changed "
      "nothing, by reason. The reasons unsigned, unknown_key, bad_signature "
      "and out_of_time occur only with a room key.\n"
      "# TYPE pim_node_datagrams_ignored_total counter\n"
      "pim_node_datagrams_ignored_total{reason=\"not_utf8\"} 1\n"
      "pim_node_datagrams_ignored_total{reason=\"not_announcement\"} 0\n"
      "pim_node_datagrams_ignored_total{reason=\"other_room\"} 5\n"
      "pim_node_datagrams_ignored_total{reason=\"unsigned\"} 0\n"
      "pim_node_datagrams_ignored_total{reason=\"unknown_key\"} 0\n"
      "pim_node_datagrams_ignored_total{reason=\"bad_signature\"} 0\n"
      "pim_node_datagrams_ignored_total{reason=\"out_of_time\"} 0\n"
      "# HELP pim_node_peers_recorded_total Announcements of this room offered "
      "to the peer table, by result: joined (a new entry), refreshed (a known "
      "address), refused (the table was full), displaced (a new entry in "
      "place of another).\n"
      "# TYPE pim_node_peers_recorded_total counter\n"
      "pim_node_peers_recorded_total{result=\"joined\"} 2\n"
      "pim_node_peers_recorded_total{result=\"refreshed\"} 4\n"
      "pim_node_peers_recorded_total{result=\"refused\"} 0\n"
      "pim_node_peers_recorded_total{result=\"displaced\"} 0\n"
      "# HELP pim_node_peers_expired_total Peers removed after 12 s or more "
      "without an announcement.\n"
      "# TYPE pim_node_peers_expired_total counter\n"
      "pim_node_peers_expired_total 1\n"
      "# HELP pim_node_peers Peers in the table.\n"
      "# TYPE pim_node_peers gauge\n"
      "pim_node_peers 2\n"
      "# HELP pim_node_peers_capacity The most peers the table holds.\n"
      "# TYPE pim_node_peers_capacity gauge\n"
      "pim_node_peers_capacity 16384\n"
      "# HELP pim_node_ram_bytes This node's own memory figure, as it "
      "announces it, in bytes (the figure is in gigabytes of 1024^3 bytes).\n"
      "# TYPE pim_node_ram_bytes gauge\n"
      "pim_node_ram_bytes 8589934592\n"
      "# HELP pim_node_total_ram_bytes The status document's total memory of "
      "this node and its peers, in bytes; NaN where the document writes null "
      "(a total that is not finite).\n"
      "# TYPE pim_node_total_ram_bytes gauge\n"
      "pim_node_total_ram_bytes NaN\n"
      "# HELP pim_node_broadcasts_total Announcements broadcast, by the result "
      "of the send.\n"
      "# TYPE pim_node_broadcasts_total counter\n"
      "pim_node_broadcasts_total{result=\"sent\"} 2\n"
      "pim_node_broadcasts_total{result=\"failed\"} 1\n"
      "# HELP pim_node_status_requests_total Connections to the status "
      "endpoint, by how they ended: answered, not_get (not a GET, or a failed "
      "read or write), timed_out, dropped (closed to make room for a newer "
      "one).\n"
      "# TYPE pim_node_status_requests_total counter\n"
      "pim_node_status_requests_total{result=\"answered\"} 2\n"
      "pim_node_status_requests_total{result=\"not_get\"} 0\n"
      "pim_node_status_requests_total{result=\"timed_out\"} 0\n"
      "pim_node_status_requests_total{result=\"dropped\"} 1\n"
      "# HELP pim_node_build_info The node's version, in the version label; "
      "always 1.\n"
      "# TYPE pim_node_build_info gauge\n"
      "pim_node_build_info{version=\"0.2.0+git.\\\"x\\\\y\\\"\\n\"} 1\n"
      "# HELP pim_node_start_time_seconds When the node started, in seconds "
      "since the Unix epoch.\n"
      "# TYPE pim_node_start_time_seconds gauge\n"
      "pim_node_start_time_seconds 1718000000.25\n");
}

// The two ram lines for figures a reader must get back exactly.
TEST(MetricsText, RamFigures) {
  constexpr float INF = std::numeric_limits<float>::infinity();
  const struct {
    float ram;
    float total_ram;
    std::string_view ram_line;
    std::string_view total_line;
  } cases[] = {
      // 0.1f is 13421773 * 2^-27, so 107374184 bytes exactly.
      {0.1f, 24.5f, "pim_node_ram_bytes 107374184\n",
       "pim_node_total_ram_bytes 26306674688\n"},
      {-0.0f, -INF, "pim_node_ram_bytes -0\n",
       "pim_node_total_ram_bytes NaN\n"},
      {INF, std::numeric_limits<float>::quiet_NaN(),
       "pim_node_ram_bytes +Inf\n", "pim_node_total_ram_bytes NaN\n"},
      // 2^-50 gigabytes are 2^-20 bytes, 9.5367431640625e-07 exactly: no
      // shorter decimal lies within half a unit of the last place (2^-73).
      {-INF, 0x1p-50f, "pim_node_ram_bytes -Inf\n",
       "pim_node_total_ram_bytes 9.5367431640625e-07\n"},
  };
  for (const auto& c : cases) {
    MetricsGauges gauges;
    gauges.ram = c.ram;
    gauges.total_ram = c.total_ram;
    const std::string text = metrics_text(CounterSnapshot{}, gauges);
    EXPECT_NE(text.find(c.ram_line), std::string::npos) << c.ram << "\n"
                                                        << text;
    EXPECT_NE(text.find(c.total_line), std::string::npos) << c.total_ram;
  }
}

TEST(MetricsResponse, ExactBytes) {
  EXPECT_EQ(metrics_response("a 1\n"),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
            "charset=utf-8\r\nContent-Length: 4\r\n"
            "Access-Control-Allow-Origin: *\r\n\r\na 1\n");
}

// Prometheus's own checker reads the exposition, the escaped label and the
// NaN included, and finds nothing to report.
TEST(MetricsText, PromtoolAccepts) {
  if (!test_support::on_search_path("promtool")) {
    if (std::getenv("PIM_REQUIRE_NAMESPACES") != nullptr) {
      FAIL() << "promtool (Debian package prometheus) is required but missing";
    }
    GTEST_SKIP() << "needs promtool (Debian package prometheus)";
  }
  MetricsGauges gauges;
  gauges.peers = 2;
  gauges.peers_capacity = 16384;
  gauges.ram = 8.0f;
  gauges.total_ram = std::numeric_limits<float>::quiet_NaN();
  gauges.version = "0.2.0+git.\"x\\y\"\n";
  gauges.start_time_seconds = 1718000000.25;
  const auto [status, said] = test_support::promtool_check_metrics(
      metrics_text(small_snapshot(), gauges));
  EXPECT_EQ(status, 0) << said;
  EXPECT_EQ(said, "");
}

}  // namespace
