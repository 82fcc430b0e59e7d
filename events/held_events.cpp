#include "events/held_events.h"

#include <string>
#include <utility>

#include "core/logger.h"
#include "core/no_destructor.h"

namespace tavrel_mmp {

HeldEvents& HeldEvents::shared() {
  static NoDestructor<HeldEvents> instance;
  return instance.get();
}

void HeldEvents::hold(std::shared_ptr<EventData> event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (events_.size() >= kCapacity) {
    Logger::log("The tracking choice cannot be read yet: the oldest event waiting for it, " +
                events_.front()->key + ", is dropped (" + std::to_string(kCapacity) +
                " wait at most)");
    events_.pop_front();
  }
  events_.push_back(std::move(event));
  count_.store(events_.size());
}

EventList HeldEvents::takeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  EventList taken(std::make_move_iterator(events_.begin()), std::make_move_iterator(events_.end()));
  events_.clear();
  count_.store(0);
  return taken;
}

}  // namespace tavrel_mmp
