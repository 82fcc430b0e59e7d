#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "events/event_data.h"

namespace tavrel_mmp {

// How the uploads of stored events come out, for a flush waiting on them. Costs one uncontended
// lock per upload while nobody watches.
class UploadOutcomes {
 public:
  // The identifiers whose upload the service accepted (after their rows went) or did not.
  struct Seen {
    std::vector<std::string> accepted;
    std::vector<std::string> notAccepted;
  };

  // Collects the outcomes noted while it lives.
  class Watch {
   public:
    Watch();
    ~Watch();
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    // Waits until an outcome is noted, `wake` is called, or `until`; then takes what was seen.
    Seen waitAndTake(std::chrono::steady_clock::time_point until);
    // Ends the current wait from any thread, also after the watch is gone.
    std::function<void()> waker();
    // Drops what was seen so far, from any thread, also after the watch is gone.
    std::function<void()> forgetter();

    struct State;  // what the notes reach

   private:
    std::shared_ptr<State> state_;
  };

  static void note(const EventList& events, bool accepted);
};

}  // namespace tavrel_mmp
