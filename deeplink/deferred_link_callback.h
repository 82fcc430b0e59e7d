#pragma once

#include <functional>
#include <optional>
#include <string>

namespace tavrel_mmp {

// The host's callback for the answer to the installation's deferred deep-link question: the link,
// or none when the service holds none. Called once per installation, also across processes.
class DeferredLinkCallback {
 public:
  using Callback = std::function<void(const std::optional<std::string>& link)>;
  // Replaces any earlier one; an empty one removes it.
  static void set(Callback callback);
  // Calls the host's callback, if any and not called for this installation yet, with no lock of
  // the library held.
  static void report(const std::optional<std::string>& link);
};

}  // namespace tavrel_mmp
