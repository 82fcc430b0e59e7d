#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tavrel_mmp {

// How the authentication that work waited for came out.
struct AuthenticationOutcome {
  // The service's refusal ("responseCode", "responseText"); none when it was accepted, when no
  // usable answer came, or when there was nothing to wait for.
  std::optional<std::int64_t> refusedCode;
  std::string refusedText;
};

// Whether the installation's authentication is on its way, for work that needs the session it
// grants: the session manager marks each request and its end, and link creation waits for the
// end rather than going out without a session. Per process: a child forked meanwhile waits for
// nothing of its parent's.
class AuthenticationProgress {
 public:
  // Request `generation` is on its way; it supersedes every earlier one.
  static void begin(std::uint64_t generation);
  // Request `generation` ended, or was abandoned: unless a later one began meanwhile, what waited
  // runs now, on this thread, with `outcome`.
  static void end(std::uint64_t generation, const AuthenticationOutcome& outcome);
  // Runs `then` once no authentication is on its way: at once, on this thread, when none is;
  // otherwise on the thread that ends it, or on a library thread once `timeoutSeconds` of the
  // platform's monotonic clock passed without an end. Never waits itself.
  static void whenSettled(double timeoutSeconds,
                          std::function<void(const AuthenticationOutcome&)> then);
};

}  // namespace tavrel_mmp
