#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

// The events whose batches the service refused and that it has not accepted since. The library
// sets an event aside once the service has refused it for its content several times, so an
// event refused that often and never accepted is marked as set aside. Not synchronised: its
// owner locks around it.
class EventRefusals {
 public:
  static constexpr std::size_t kTracked = 1000;  // past it, the longest quiet one is forgotten
  static constexpr std::size_t kSetAsideAfter = 5;

  struct Refused {
    nlohmann::json event;  // the upload object as last refused
    std::size_t refusals = 0;
    std::size_t forContent = 0;  // refusals the library counts against the events
    std::string lastAnswer;
    std::int64_t lastAtMs = 0;  // wall clock, milliseconds since the Unix epoch
    bool setAside() const { return forContent >= kSetAsideAfter; }
  };

  // Whether an answer with this "responseCode" (none: no envelope at all) refuses the batch for
  // its content, as the library judges it: failures of the service, missing sessions and
  // requests to slow down are the service's, not the events'.
  static bool refusesContent(std::optional<std::int64_t> responseCode);

  // A refused batch's events (the upload objects with a text "id").
  void noteRefused(const nlohmann::json& events, const std::string& answer,
                   std::optional<std::int64_t> responseCode, std::int64_t atMs);
  void noteAccepted(const std::string& id) { byId_.erase(id); }
  void clear() { byId_.clear(); }

  // The `limit` most refused, most refused first.
  std::vector<const Refused*> mostRefused(std::size_t limit) const;
  std::size_t size() const { return byId_.size(); }

 private:
  std::map<std::string, Refused> byId_;
};

}  // namespace tavrel_mmp::tools
