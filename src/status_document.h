// The status document: the HTTP response whose body is the JSON text listing
// this node, its peers and their total ram. Called by the status thread.
// status_document and status_response take no lock (the caller of
// status_document holds the view of the peers); SharedResponse::get takes
// the table lock itself through PeerTable::read.
#pragma once

#include <memory>
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

// The response for the requests read in one turn of the status loop, built
// once per turn. A response with the same bytes as one still being written
// elsewhere shares that one's buffer, so that clients who ask and never read
// hold one copy of an unchanged document between them.
class SharedResponse {
 public:
  // The response for a request read now: on the first call of a turn it is
  // built from the table under its lock (taken here; never call with it
  // held), later calls of the turn get the same buffer.
  std::shared_ptr<const std::string> get(std::string_view host,
                                         PeerTable& table, float ram);
  // Later requests get a document built afresh. Holds no buffer between
  // turns, so an idle server keeps no large document alive.
  void end_turn() { current_.reset(); }

 private:
  std::shared_ptr<const std::string> current_;
  std::weak_ptr<const std::string> last_;
};
