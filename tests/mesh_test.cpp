// Four hosts joined by a bridge, one node each, all inside private network
// namespaces: what the nodes learn about each other across a real network,
// seen through each node's status endpoint.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
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
constexpr int STATUS_PORT = 47833;
// The probe's addresses: each test that crafts peers sends from addresses of
// its own, so that no test can refresh or replace another's peer.
const char* const PROBE_IP = "10.213.7.50";    // sends the bad datagrams
const char* const CRAFTED_IP = "10.213.7.51";  // sends the good one
const char* const CUT_IP = "10.213.7.52";      // sends the 300-byte one
const char* const BROADCAST_PRUNE_IP = "10.213.7.53";
const char* const HOUSEKEEPING_PRUNE_IP = "10.213.7.54";
const std::vector<std::string> PROBE_IPS = {
    PROBE_IP, CRAFTED_IP, CUT_IP, BROADCAST_PRUNE_IP, HOUSEKEEPING_PRUNE_IP};
// The host names the mesh's nodes announce.
const std::vector<std::string> NODE_NAMES = {"lab-a", "lab-b", "lab-c",
                                             "other-d"};

double seconds_since(Clock::time_point start, Clock::time_point end) {
  return std::chrono::duration<double>(end - start).count();
}

struct Host {
  std::string host_name;
  std::string room;
  std::string key_file;  // empty: no room key
  std::string ip;
  std::unique_ptr<Namespace> ns;
  std::unique_ptr<FakeHostname> hostname;
  std::unique_ptr<NodeProcess> node;  // null while stopped

  void start() {
    NodeOptions options;
    options.args = {"--room", room, "--node-count", "4"};
    if (!key_file.empty()) {
      options.args.insert(options.args.end(), {"--key-file", key_file});
    }
    options.path = hostname->path();
    node = std::make_unique<NodeProcess>(*ns, options);
  }
};

struct NodeSpec {
  const char* host_name;
  const char* room;
  std::string key_file = "";
};

void must(int status, const std::string& what) {
  if (status != 0) throw std::runtime_error("failed: " + what);
}

// The bridge namespace, a host for each node (10.213.7.11 and on) and one
// more namespace with no node (the probe). Members are destroyed in reverse
// order: nodes first, then the host namespaces with their veth pairs, the
// bridge last.
struct Mesh {
  Namespace bridge{harness::unique_name("mesh-br")};
  std::vector<std::unique_ptr<Host>> hosts;
  std::unique_ptr<Namespace> probe;

  explicit Mesh(const std::vector<NodeSpec>& nodes) {
    must(bridge.ip("link add br0 type bridge"), "bridge");
    must(bridge.ip("link set br0 up"), "bridge up");
    int index = 0;
    for (const auto& [host_name, room, key_file] : nodes) {
      auto host = std::make_unique<Host>();
      host->host_name = host_name;
      host->room = room;
      host->key_file = key_file;
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
      mesh_ =
          std::make_unique<Mesh>(std::vector<NodeSpec>{{"lab-a", "lab"},
                                                       {"lab-b", "lab"},
                                                       {"lab-c", "lab"},
                                                       {"other-d", "other"}});
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
  // 256 bytes that form an announcement, then a tail that the node never
  // reads: read, it would make the figure 42 and the datagram not UTF-8.
  const std::string cut_host = "cut-" + std::string(235, 'x');
  const std::string head = "MORUN-MESH|lab|" + cut_host + "|4";
  ASSERT_EQ(head.size(), 256u);
  const std::string long_datagram = head + "2|" + std::string(42, '\xFF');
  ASSERT_EQ(long_datagram.size(), 300u);
  UdpSocket cut(*mesh_->probe, CUT_IP, 0);
  EXPECT_TRUE(cut.send_to("255.255.255.255", DISCOVERY_PORT, long_datagram));
  // Sent after the others from an address of its own: once it is listed,
  // the ones ahead of it in the same queue have been handled too.
  UdpSocket good(*mesh_->probe, CRAFTED_IP, 0);
  EXPECT_TRUE(good.send_to("255.255.255.255", DISCOVERY_PORT,
                           "MORUN-MESH|lab|crafted|4.00|1"));
  const std::vector<std::string> crafted = {"crafted", cut_host, "bad-magic",
                                            "bad-room"};
  const Peers expected = {{"crafted", 4.0},
                          {cut_host, 4.0},
                          {"lab-a", 8.0},
                          {"lab-b", 8.0},
                          {"lab-c", 8.0}};
  for (int i = 0; i < 3; ++i) {
    const View view =
        wait_for_peers(*host(i).ns, expected, milliseconds{3000}, crafted);
    EXPECT_EQ(view.status.peers, expected) << "seen by " << host(i).host_name;
    EXPECT_EQ(view.status.total_ram, 40.0 + view.others_ram)
        << "seen by " << host(i).host_name;
  }
}

TEST_F(Mesh4, AnnouncementsLeaveEveryThreeSeconds) {
  UdpSocket wire(*mesh_->probe, "0.0.0.0", DISCOVERY_PORT);
  const auto first = wire.receive_from(host(0).ip, milliseconds{4000});
  ASSERT_TRUE(first) << "no announcement from " << host(0).ip;
  const auto second = wire.receive_from(host(0).ip, milliseconds{4000});
  ASSERT_TRUE(second) << "no second announcement from " << host(0).ip;
  // 3 s of sleep plus a send and a prune; 5 ms of delivery jitter below.
  EXPECT_GE(seconds_since(*first, *second), 2.995);
  EXPECT_LE(seconds_since(*first, *second), 3.1);
}

// Only the node's loopback address serves the document.
TEST_F(Mesh4, StatusPortIsClosedToOtherHosts) {
  for (int i = 0; i < 4; ++i) {
    // Serving on loopback first, so that a refusal is not a node not yet up.
    const std::string body = harness::wait_for_status(
        *host(i).ns, [](const std::string& b) { return !b.empty(); },
        milliseconds{5000});
    EXPECT_NE(body, "") << host(i).host_name;
    // Refused, not unanswered: the host is reachable, the port is not.
    EXPECT_EQ(harness::connect_error(*mesh_->probe, host(i).ip, STATUS_PORT),
              ECONNREFUSED)
        << host(i).host_name;
  }
}

// Each prune cycle alone. lab-c is restarted so that its cycles' phase is
// known: its first broadcast and its first housekeeping prune follow start-up
// within a millisecond, then broadcasts (each followed at once by a prune)
// come every 3 s and housekeeping prunes every 5 s. Each crafted peer turns
// 12 s old at least 0.5 s after the prune before and 0.5 s before a prune of
// the cycle under test, which must remove it; the other cycle's next prune
// comes 2 s after that one.
TEST_F(Mesh4, EachPruneCycleExpiresSilentPeersOnItsOwn) {
  struct Case {
    const char* cycle;  // the one that must remove the peer
    const char* ip;
    const char* host_name;
    double sent_at;     // seconds after the first broadcast
    double pruned_at;   // the prune that removes it
    bool seen_on_wire;  // that prune follows a broadcast the probe hears
  };
  const Case cases[] = {
      // 12 s old at 17.5: both prune at 15, a broadcast at 18, housekeeping
      // next at 20.
      {"broadcast", BROADCAST_PRUNE_IP, "silent-since-5.5", 5.5, 18.0, true},
      // 12 s old at 24.5: a broadcast at 24, housekeeping at 25, a
      // broadcast next at 27.
      {"housekeeping", HOUSEKEEPING_PRUNE_IP, "silent-since-12.5", 12.5, 25.0,
       false},
  };
  Host& node = host(2);
  node.node.reset();
  // Opened once the old process has gone, so that none of its datagrams
  // can be taken for the new one's first.
  UdpSocket wire(*mesh_->probe, "0.0.0.0", DISCOVERY_PORT);
  node.start();
  const auto start = wire.receive_from(node.ip, milliseconds{5000});
  ASSERT_TRUE(start) << "no announcement from " << node.ip;
  const auto at = [&](double offset) {
    return *start + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(offset));
  };
  const auto listed = [&](const char* host_name) {
    const auto body = harness::status_body(*node.ns);
    return body && lists(*body, host_name);
  };

  std::vector<std::unique_ptr<UdpSocket>> senders;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cycle);
    senders.push_back(std::make_unique<UdpSocket>(*mesh_->probe, c.ip, 0));
    std::this_thread::sleep_until(at(c.sent_at));
    EXPECT_TRUE(senders.back()->send_to(
        node.ip, DISCOVERY_PORT,
        std::string("MORUN-MESH|lab|") + c.host_name + "|4.00|1"));
    // The plan holds only if the peer was recorded on time.
    EXPECT_LT(seconds_since(at(c.sent_at), Clock::now()), 0.2);
    const auto body = harness::wait_for_status(
        *node.ns, [&](const std::string& b) { return lists(b, c.host_name); },
        milliseconds{1000});
    EXPECT_TRUE(lists(body, c.host_name)) << body;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cycle);
    // The prunes before this one kept it.
    std::this_thread::sleep_until(at(c.pruned_at - 0.8));
    EXPECT_TRUE(listed(c.host_name));
    auto pruned = at(c.pruned_at);
    if (c.seen_on_wire) {
      // Datagrams queued earlier come back at once, before `earliest`.
      const auto earliest = at(c.pruned_at - 0.5);
      std::optional<Clock::time_point> seen;
      do {
        seen = wire.receive_from(node.ip, milliseconds{1500});
      } while (seen && *seen < earliest);
      ASSERT_TRUE(seen) << "no broadcast near " << c.pruned_at << " s";
      EXPECT_NEAR(seconds_since(pruned, *seen), 0.0, 0.2);
      pruned = *seen;
    }
    std::this_thread::sleep_until(pruned);
    bool gone = false;
    while (!gone && seconds_since(pruned, Clock::now()) < 0.7) {
      gone = !listed(c.host_name);
      if (!gone) std::this_thread::sleep_for(milliseconds{20});
    }
    EXPECT_TRUE(gone) << c.host_name << " still listed 0.7 s after the "
                      << c.cycle << " prune";
  }
}

// A room key file of its own directory, removed on destruction.
class KeyFile {
 public:
  explicit KeyFile(const std::string& key_line) {
    char folder[] = "/tmp/pim-mesh-key-XXXXXX";
    if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp");
    folder_ = folder;
    path_ = folder_ + "/room.key";
    const int fd =
        open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path_);
    const bool written = write(fd, key_line.data(), key_line.size()) ==
                         static_cast<ssize_t>(key_line.size());
    close(fd);
    if (!written) throw std::runtime_error("cannot write " + path_);
  }
  ~KeyFile() {
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

// lab-a and lab-b share a room key; lab-c, of the same room, has none.
TEST(MeshKeyed, KeyedNodesListOnlyEachOtherAndAreListedByAll) {
  if (!harness::can_use_namespaces()) GTEST_SKIP() << "needs root";
  const KeyFile key(
      "# the room key of lab\n"
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f\n");
  Mesh mesh({{"lab-a", "lab", key.path()},
             {"lab-b", "lab", key.path()},
             {"lab-c", "lab"}});
  const Peers keyed = {{"lab-a", 8.0}, {"lab-b", 8.0}};
  // A node without the key reads a signed announcement as any other.
  EXPECT_EQ(
      wait_for_peers(*mesh.hosts[2]->ns, LAB, milliseconds{8000}).status.peers,
      LAB);
  for (int i = 0; i < 2; ++i) {
    Host& host = *mesh.hosts[i];
    EXPECT_EQ(wait_for_peers(*host.ns, keyed, milliseconds{8000}).status.peers,
              keyed)
        << "seen by " << host.host_name;
    // lab-c's announcements are the only unsigned ones: the first one heard
    // is said at once.
    const std::string line =
        "[pim-node] room key: ignored 1 announcements in the last minute: "
        "1 unsigned, 0 unknown key, 0 bad signature, 0 out of time; last "
        "from " +
        mesh.hosts[2]->ip + "\n";
    const std::string text =
        host.node->read_stderr_until(line, milliseconds{5000});
    EXPECT_NE(text.find(line), std::string::npos) << text;
    // Heard, and still not listed.
    const auto body = harness::status_body(*host.ns);
    ASSERT_TRUE(body);
    EXPECT_FALSE(lists(*body, "lab-c")) << *body;
  }
}

}  // namespace
