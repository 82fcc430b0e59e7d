#include "local_service/request_log.h"

namespace tavrel_mmp::tools {

std::uint64_t RequestLog::add(std::shared_ptr<const RecordedRequest> request) {
  PathTotals& totals = totalsFor(request->path);
  ++totals.count;
  totals.bytes += request->body.size();
  retainedBodyBytes_ += request->body.size();
  const std::uint64_t sequence = nextSequence_++;
  retained_.push_back({sequence, std::move(request), {}});
  // The newest request stays even when its body alone passes the byte bound.
  while (retained_.size() > 1 &&
         (retained_.size() > kRetainedRequests || retainedBodyBytes_ > kRetainedBodyBytes)) {
    retainedBodyBytes_ -= retained_.front().request->body.size();
    retained_.pop_front();
  }
  return sequence;
}

void RequestLog::noteOutcome(std::uint64_t sequence, const std::string& path, std::string outcome,
                             bool faulted, bool refused) {
  if (faulted) ++totalsFor(path).faulted;
  if (const auto index = indexOf(sequence)) {
    retained_[*index].outcome = std::move(outcome);
    retained_[*index].refused = refused;
  }
}

const RequestLog::Entry* RequestLog::find(std::uint64_t sequence) const {
  const auto index = indexOf(sequence);
  return index ? &retained_[*index] : nullptr;
}

std::optional<std::size_t> RequestLog::indexOf(std::uint64_t sequence) const {
  // Sequence numbers are consecutive in the deque, so the entry's place is a subtraction.
  if (retained_.empty() || sequence < retained_.front().sequence) return std::nullopt;
  const std::uint64_t index = sequence - retained_.front().sequence;
  if (index >= retained_.size()) return std::nullopt;
  return static_cast<std::size_t>(index);
}

void RequestLog::clear() {
  retained_.clear();
  retainedBodyBytes_ = 0;
  totals_.clear();
}

std::size_t RequestLog::countFor(const std::string& path) const {
  const auto found = totals_.find(path);
  return found == totals_.end() ? 0 : found->second.count;
}

PathTotals& RequestLog::totalsFor(const std::string& path) {
  if (const auto found = totals_.find(path); found != totals_.end()) return found->second;
  // Paths are the client's to choose; past the bound, new ones share one row.
  if (totals_.size() >= kTrackedPaths) return totals_[kOtherPaths];
  return totals_[path];
}

}  // namespace tavrel_mmp::tools
