#include "events/realtime_in_flight.h"

namespace tavrel_mmp {

RealtimeInFlight::Mark RealtimeInFlight::mark(const std::string& id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.insert(id);
  }
  return Mark(this, [this, id](void*) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.erase(id);
  });
}

bool RealtimeInFlight::contains(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.count(id) != 0;
}

}  // namespace tavrel_mmp
