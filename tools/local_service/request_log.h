#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "local_service/local_service.h"

namespace tavrel_mmp::tools {

// The requests a service received: the last ones with their bodies, within kRetainedRequests
// and kRetainedBodyBytes, and totals per path for all of them. Not synchronised: its owner
// locks around it.
class RequestLog {
 public:
  struct Entry {
    std::uint64_t sequence = 0;
    std::shared_ptr<const RecordedRequest> request;
    std::string outcome;   // how the service answered, once it has
    bool refused = false;  // the answer did not accept the request
  };

  // Keeps `request`, dropping the oldest beyond the bounds; returns its sequence number.
  std::uint64_t add(std::shared_ptr<const RecordedRequest> request);
  // How the request with this sequence number was answered (`faulted`: by an injected fault).
  void noteOutcome(std::uint64_t sequence, const std::string& path, std::string outcome,
                   bool faulted, bool refused);
  void clear();

  const std::deque<Entry>& retained() const { return retained_; }
  // The retained request with this sequence number, if it still is.
  const Entry* find(std::uint64_t sequence) const;
  // The sequence number of the oldest retained request, and of the next to come; they keep
  // counting across clear().
  std::uint64_t firstSequence() const {
    return retained_.empty() ? nextSequence_ : retained_.front().sequence;
  }
  std::uint64_t nextSequence() const { return nextSequence_; }
  std::size_t retainedBodyBytes() const { return retainedBodyBytes_; }
  const std::map<std::string, PathTotals>& totals() const { return totals_; }
  // Requests to `path` since the last clear(), retained or not.
  std::size_t countFor(const std::string& path) const;

 private:
  PathTotals& totalsFor(const std::string& path);
  std::optional<std::size_t> indexOf(std::uint64_t sequence) const;

  std::deque<Entry> retained_;
  std::size_t retainedBodyBytes_ = 0;
  std::map<std::string, PathTotals> totals_;
  std::uint64_t nextSequence_ = 0;
};

}  // namespace tavrel_mmp::tools
