#include "events/realtime_in_flight.h"

namespace tavrel_mmp {

void RealtimeInFlight::add(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  ids_.insert(id);
}

void RealtimeInFlight::remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ids_.erase(id) != 0 && readings_ > 0) endedDuringReading_.insert(id);
}

bool RealtimeInFlight::contains(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ids_.count(id) != 0;
}

RealtimeInFlight::Reading::Reading(RealtimeInFlight& set) : set_(set) {
  std::lock_guard<std::mutex> lock(set_.mutex_);
  ++set_.readings_;
}

RealtimeInFlight::Reading::~Reading() {
  std::lock_guard<std::mutex> lock(set_.mutex_);
  if (--set_.readings_ == 0) set_.endedDuringReading_.clear();
}

bool RealtimeInFlight::Reading::excludes(const std::string& id) const {
  std::lock_guard<std::mutex> lock(set_.mutex_);
  return set_.ids_.count(id) != 0 || set_.endedDuringReading_.count(id) != 0;
}

std::size_t RealtimeInFlight::Reading::size() const {
  std::lock_guard<std::mutex> lock(set_.mutex_);
  return set_.ids_.size() + set_.endedDuringReading_.size();
}

}  // namespace tavrel_mmp
