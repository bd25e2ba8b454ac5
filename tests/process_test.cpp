#include <gtest/gtest.h>

#include "node_harness.h"

namespace {

using harness::FakeHostname;
using harness::Namespace;
using harness::NodeOptions;
using harness::NodeProcess;
using std::chrono::milliseconds;

TEST(NodeProcess, PrintsStartLineAndServesStatus) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  Namespace ns(harness::unique_name("start"));
  const auto fake = FakeHostname::printing("alpha\n");
  NodeProcess node(ns, NodeOptions{{}, fake.path()});
  EXPECT_EQ(node.read_stderr_until("\n", milliseconds{5000}),
            "[pim-node] Starting \xE2\x80\x94 room=MORUN-DEFAULT node_count=1 "
            "host=alpha ram=8.0GB\n");
  const std::string body = harness::wait_for_status(
      ns, [](const std::string& b) { return !b.empty(); }, milliseconds{3000});
  EXPECT_EQ(body,
            R"({"self":{"host":"alpha","ram":8.0},"peers":[],"total_ram":8.0})");
}

}  // namespace
