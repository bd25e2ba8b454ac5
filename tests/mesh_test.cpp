// Four hosts joined by a bridge, one node each, all inside private network
// namespaces: what the nodes learn about each other across a real network,
// seen through each node's status endpoint.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "node_harness.h"

namespace {

using harness::FakeHostname;
using harness::Namespace;
using harness::NodeOptions;
using harness::NodeProcess;
using harness::UdpSocket;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Peers = std::vector<std::pair<std::string, double>>;

constexpr int DISCOVERY_PORT = 47832;
// The probe's addresses: each test that crafts peers sends from addresses of
// its own, so that no test can refresh or replace another's peer.
const char* const PROBE_IP = "10.213.7.50";    // sends the bad datagrams
const char* const CRAFTED_IP = "10.213.7.51";  // sends the good one
const std::vector<std::string> PROBE_IPS = {PROBE_IP, CRAFTED_IP};
// The host names the mesh's nodes announce.
const std::vector<std::string> NODE_NAMES = {"lab-a", "lab-b", "lab-c",
                                             "other-d"};

double seconds_since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

struct Host {
  std::string host_name;
  std::string room;
  std::string ip;
  std::unique_ptr<Namespace> ns;
  std::unique_ptr<FakeHostname> hostname;
  std::unique_ptr<NodeProcess> node;  // null while stopped

  void start() {
    NodeOptions options;
    options.args = {"--room", room, "--node-count", "4"};
    options.path = hostname->path();
    node = std::make_unique<NodeProcess>(*ns, options);
  }
};

void must(int status, const std::string& what) {
  if (status != 0) throw std::runtime_error("failed: " + what);
}

// The bridge namespace, the four hosts and a fifth namespace with no node
// (the probe). Members are destroyed in reverse order: nodes first, then the
// host namespaces with their veth pairs, the bridge last.
struct Mesh {
  Namespace bridge{harness::unique_name("mesh-br")};
  std::vector<std::unique_ptr<Host>> hosts;
  std::unique_ptr<Namespace> probe;

  Mesh() {
    must(bridge.ip("link add br0 type bridge"), "bridge");
    must(bridge.ip("link set br0 up"), "bridge up");
    const std::pair<const char*, const char*> nodes[] = {{"lab-a", "lab"},
                                                         {"lab-b", "lab"},
                                                         {"lab-c", "lab"},
                                                         {"other-d", "other"}};
    int index = 0;
    for (const auto& [host_name, room] : nodes) {
      auto host = std::make_unique<Host>();
      host->host_name = host_name;
      host->room = room;
      host->ip = "10.213.7." + std::to_string(11 + index);
      host->ns = join(index, {host->ip});
      host->hostname = std::make_unique<FakeHostname>(
          FakeHostname::printing(std::string(host_name) + "\n"));
      hosts.push_back(std::move(host));
      ++index;
    }
    probe = join(index, PROBE_IPS);
    // The probe knows every host's link address in advance, so a unicast
    // datagram leaves at once instead of waiting for address resolution and
    // being overtaken by a broadcast sent after it.
    for (int i = 0; i < index; ++i) {
      must(probe->ip("neigh replace " + hosts[i]->ip + " lladdr " + mac(i) +
                     " dev eth0 nud permanent"),
           "neighbour " + hosts[i]->ip);
    }
    for (auto& host : hosts) host->start();
  }

  static std::string mac(int index) {
    return "02:00:0a:d5:07:" + std::to_string(10 + index);
  }

  // A new namespace whose eth0 is a veth pair created straight between it
  // and the bridge namespace (never in the machine's own namespace).
  std::unique_ptr<Namespace> join(int index,
                                  const std::vector<std::string>& ips) {
    auto ns = std::make_unique<Namespace>(
        harness::unique_name("mesh-h" + std::to_string(index)));
    const std::string veth = "veth" + std::to_string(index);
    must(ns->ip("link add eth0 address " + mac(index) +
                " type veth peer name " + veth + " netns " + bridge.name()),
         "veth " + veth);
    must(bridge.ip("link set " + veth + " master br0 up"), "port " + veth);
    for (const auto& ip : ips) {
      must(ns->ip("addr add " + ip + "/24 dev eth0"), "address " + ip);
    }
    must(ns->ip("link set eth0 up"), "eth0 up");
    // Without a route the limited broadcast fails: "Network is unreachable".
    must(ns->ip("route add default dev eth0"), "default route");
    return ns;
  }
};

struct Status {
  std::string self_host;
  double self_ram = 0;
  Peers peers;  // sorted by host, since the node's order is unspecified
  double total_ram = 0;
};

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A test's own view of a document: the peers whose hosts it watches, and
// the ram of the others. Peers crafted by another test stay listed for up
// to 15 s; a test that counted them would depend on the order of the tests.
struct View {
  Status status;  // with only the watched peers
  double others_ram = 0;
};

View view_of(Status status, const std::vector<std::string>& watched) {
  View view;
  Peers kept;
  for (const auto& peer : status.peers) {
    if (contains(watched, peer.first)) {
      kept.push_back(peer);
    } else {
      view.others_ram += peer.second;
    }
  }
  status.peers = std::move(kept);
  view.status = std::move(status);
  return view;
}

std::optional<Status> parse_status(const std::string& body) {
  const auto doc = nlohmann::json::parse(body, nullptr, false);
  if (doc.is_discarded()) return std::nullopt;
  Status status;
  // at() throws on a missing member, which fails the test that asked.
  status.self_host = doc.at("self").at("host");
  status.self_ram = doc.at("self").at("ram");
  for (const auto& peer : doc.at("peers")) {
    status.peers.emplace_back(peer.at("host"), peer.at("ram"));
  }
  std::sort(status.peers.begin(), status.peers.end());
  status.total_ram = doc.at("total_ram");
  return status;
}

bool lists(const std::string& body, const std::string& host_name) {
  const auto status = parse_status(body);
  if (!status) return false;
  for (const auto& peer : status->peers) {
    if (peer.first == host_name) return true;
  }
  return false;
}

// Waits up to `timeout` for the node's watched peers (the mesh's nodes and
// the `crafted` hosts) to be exactly `expected`.
View wait_for_peers(const Namespace& ns, const Peers& expected,
                    milliseconds timeout,
                    const std::vector<std::string>& crafted = {}) {
  std::vector<std::string> watched = NODE_NAMES;
  watched.insert(watched.end(), crafted.begin(), crafted.end());
  const std::string body = harness::wait_for_status(
      ns,
      [&](const std::string& b) {
        const auto status = parse_status(b);
        return status && view_of(*status, watched).status.peers == expected;
      },
      timeout);
  const auto status = parse_status(body);
  EXPECT_TRUE(status) << "not a JSON status document: " << body;
  return view_of(status.value_or(Status{}), watched);
}

class Mesh4 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!harness::can_use_namespaces()) return;
    try {
      mesh_ = std::make_unique<Mesh>();
    } catch (const std::exception& failure) {
      setup_error_ = failure.what();
    }
  }
  static void TearDownTestSuite() { mesh_.reset(); }

  void SetUp() override {
    if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
    ASSERT_TRUE(mesh_) << "mesh set-up " << setup_error_;
    // A test that failed half way may have left a node stopped.
    for (auto& host : mesh_->hosts) {
      if (!host->node) host->start();
    }
  }

  Host& host(int index) { return *mesh_->hosts[index]; }

  static inline std::unique_ptr<Mesh> mesh_;
  static inline std::string setup_error_;
};

const Peers LAB = {{"lab-a", 8.0}, {"lab-b", 8.0}, {"lab-c", 8.0}};

TEST_F(Mesh4, NodesOfOneRoomListEachOtherAndThemselves) {
  for (int i = 0; i < 3; ++i) {
    const View view = wait_for_peers(*host(i).ns, LAB, milliseconds{8000});
    const Status& status = view.status;
    EXPECT_EQ(status.self_host, host(i).host_name);
    EXPECT_EQ(status.self_ram, 8.0);
    EXPECT_EQ(status.peers, LAB) << "seen by " << host(i).host_name;
    EXPECT_EQ(status.total_ram, 32.0 + view.others_ram)
        << "seen by " << host(i).host_name;
  }
}

TEST_F(Mesh4, NodeOfAnotherRoomIsListedOnlyByItself) {
  // No crafted peer is ever in room "other", so this node is all its own.
  const Status other =
      wait_for_peers(*host(3).ns, {{"other-d", 8.0}}, milliseconds{8000})
          .status;
  EXPECT_EQ(other.self_host, "other-d");
  EXPECT_EQ(other.peers, (Peers{{"other-d", 8.0}}));
  EXPECT_EQ(other.total_ram, 16.0);
  // other-d has announced by now, so the lab nodes have heard it too.
  for (int i = 0; i < 3; ++i) {
    const auto body = harness::status_body(*host(i).ns);
    ASSERT_TRUE(body);
    EXPECT_FALSE(lists(*body, "other-d")) << *body;
  }
}

TEST_F(Mesh4, StoppedNodeExpiresAndComesBackAfterRestart) {
  Host& victim = host(2);
  for (int i = 0; i < 2; ++i)
    wait_for_peers(*host(i).ns, LAB, milliseconds{8000});
  // The probe hears every announcement. The victim is restarted 0.5 s after
  // lab-a's (whose prune follows its send at once), so that the observers
  // prune 2.5 s after each of the victim's announcements: a peer dropped
  // after 11 s instead of 12 would go at 11.5 s, not at 12 s by chance.
  UdpSocket listener(*mesh_->probe, "0.0.0.0", DISCOVERY_PORT);
  victim.node.reset();
  const auto observer = listener.receive_from(host(0).ip, milliseconds{4000});
  ASSERT_TRUE(observer) << "no announcement from " << host(0).ip;
  std::this_thread::sleep_until(*observer + milliseconds{500});
  victim.start();
  // Its first announcement leaves at start; the stop follows it at once.
  auto last = listener.receive_from(victim.ip, milliseconds{4000});
  ASSERT_TRUE(last) << "no announcement from " << victim.ip;
  victim.node.reset();
  if (auto late = listener.receive_from(victim.ip, milliseconds{200})) {
    last = late;
  }

  std::optional<double> gone[2];
  while (!(gone[0] && gone[1]) && seconds_since(*last, Clock::now()) < 18) {
    for (int i = 0; i < 2; ++i) {
      if (gone[i]) continue;
      const auto body = harness::status_body(*host(i).ns);
      if (body && !lists(*body, "lab-c")) {
        gone[i] = seconds_since(*last, Clock::now());
      }
    }
    std::this_thread::sleep_for(milliseconds{200});
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(gone[i]) << host(i).host_name << " still lists lab-c";
    // Silent for 12 whole seconds, pruned within one 3 s broadcast cycle;
    // 0.1 s of delivery slack below, the 0.2 s poll and slack above.
    EXPECT_GE(*gone[i], 11.9) << "seen by " << host(i).host_name;
    EXPECT_LE(*gone[i], 15.6) << "seen by " << host(i).host_name;
  }

  const auto restarted = Clock::now();
  victim.start();
  for (int i = 0; i < 2; ++i) {
    const auto body = harness::wait_for_status(
        *host(i).ns, [](const std::string& b) { return lists(b, "lab-c"); },
        milliseconds{5000});
    EXPECT_TRUE(lists(body, "lab-c")) << body;
    EXPECT_LE(seconds_since(restarted, Clock::now()), 3.5);
  }
}

TEST_F(Mesh4, CraftedDatagramsAreRecordedOnlyWhenValid) {
  for (int i = 0; i < 3; ++i)
    wait_for_peers(*host(i).ns, LAB, milliseconds{8000});
  const std::string lab_a = host(0).ip;
  {
    UdpSocket bad(*mesh_->probe, PROBE_IP, 0);
    for (const std::string& target : {std::string("255.255.255.255"), lab_a}) {
      EXPECT_TRUE(bad.send_to(target, DISCOVERY_PORT,
                              "MORUN-MESX|lab|bad-magic|4.00|1"));
      EXPECT_TRUE(bad.send_to(target, DISCOVERY_PORT,
                              "MORUN-MESH|Lab|bad-room|4.00|1"));
      EXPECT_TRUE(bad.send_to(target, DISCOVERY_PORT,
                              "MORUN-MESH|lab|bad-\xFF-utf8|4.00|1"));
    }
  }
  // Sent after the others from an address of its own: once it is listed,
  // the ones ahead of it in the same queue have been handled too.
  UdpSocket good(*mesh_->probe, CRAFTED_IP, 0);
  EXPECT_TRUE(good.send_to("255.255.255.255", DISCOVERY_PORT,
                           "MORUN-MESH|lab|crafted|4.00|1"));
  const std::vector<std::string> crafted = {"crafted", "bad-magic", "bad-room"};
  const Peers expected = {
      {"crafted", 4.0}, {"lab-a", 8.0}, {"lab-b", 8.0}, {"lab-c", 8.0}};
  for (int i = 0; i < 3; ++i) {
    const View view =
        wait_for_peers(*host(i).ns, expected, milliseconds{3000}, crafted);
    EXPECT_EQ(view.status.peers, expected) << "seen by " << host(i).host_name;
    EXPECT_EQ(view.status.total_ram, 36.0 + view.others_ram)
        << "seen by " << host(i).host_name;
  }
}

}  // namespace
