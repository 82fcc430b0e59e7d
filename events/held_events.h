#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

#include "events/event_data.h"

namespace tavrel_mmp {

// Events recorded while the user's tracking choice cannot be read (the settings file is out of
// reach for now). They wait here, in memory only and in their order, until the choice is read:
// then they go to the event store if it says on, and are dropped if it says off. Nothing of them
// reaches the disk before.
class HeldEvents {
 public:
  // The oldest go past this many, with a development line.
  static constexpr std::size_t kCapacity = 1'000;

  static HeldEvents& shared();

  void hold(std::shared_ptr<EventData> event);
  // Every event held so far, oldest first; none are left.
  EventList takeAll();
  bool empty() const { return count_.load() == 0; }

 private:
  mutable std::mutex mutex_;
  std::deque<std::shared_ptr<EventData>> events_;
  std::atomic<std::size_t> count_{0};
};

}  // namespace tavrel_mmp
