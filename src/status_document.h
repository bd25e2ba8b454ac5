// The status document: the HTTP response whose body is the JSON text listing
// this node, its peers and their total ram. Called by the status thread.
// status_document and status_response take no lock (the caller of
// status_document holds the view of the peers); ResponseCache::get takes
// the table lock itself through PeerTable::read_changed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "peer_table.h"

// The JSON document listing this node (`host`, `ram`), each of `peers` in
// their iteration order and the total ram, summed in single precision from
// -0.0 in that order with `ram` last. Host names are escaped as JSON strings;
// a figure that is NaN or infinite is written null. The string has room
// reserved for the head that status_response puts in front of it.
std::string status_document(std::string_view host, const PeerMap& peers,
                            float ram);

// The document's total ram: each of `peers`' figures in their iteration
// order, summed in single precision from -0.0, then `ram`. status_document
// writes this very sum; the metrics show it too.
float total_ram(const PeerMap& peers, float ram);

// The whole HTTP response carrying `document`: the head, whose
// Content-Length counts the document's bytes, then the document.
std::string status_response(std::string document);

// A response kept unused this long is dropped, so that an idle server does
// not hold a large document for good; a client that polls several times a
// second keeps it.
inline constexpr std::chrono::milliseconds RESPONSE_CACHE_HOLD{1000};

// The response of the status loop, built once for every change of the table
// and shared by the requests read meanwhile. `host` and `ram` are the same at
// every call.
class ResponseCache {
 public:
  // The response for a request read before the call: the one kept, while the
  // table reports no change since it was built, else one built now. The
  // table lock is taken here (never call with it held), and held only to
  // learn that nothing changed when nothing has.
  std::shared_ptr<const std::string> get(std::string_view host,
                                         PeerTable& table, float ram,
                                         MonotonicClock::time_point now);
  // Drops the response kept when it has not been used for
  // RESPONSE_CACHE_HOLD at `now`.
  void expire(MonotonicClock::time_point now);
  // When expire drops the response kept, unless it is used again first;
  // none while none is kept.
  std::optional<MonotonicClock::time_point> expires_at() const;
  // The response kept, or nullptr.
  const std::string* kept() const { return response_.get(); }

 private:
  std::shared_ptr<const std::string> response_;
  std::uint64_t seen_ = 0;  // the table's version of response_; 0 with none
  MonotonicClock::time_point last_used_{};
};
