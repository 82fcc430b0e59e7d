#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

namespace tavrel_mmp {

// Real-time events whose own upload is under way: batches leave them out, so the service never
// receives one twice because a batch read it before its answer came back. An event is marked on
// the recording thread before it is stored; the mark is a token whose end (once the upload's
// outcome is applied on the library's thread) lifts it, so no path can leave it behind.
class RealtimeInFlight {
 public:
  using Mark = std::shared_ptr<void>;

  Mark mark(const std::string& id);
  bool contains(const std::string& id);

 private:
  std::mutex mutex_;
  std::unordered_set<std::string> ids_;
};

}  // namespace tavrel_mmp
