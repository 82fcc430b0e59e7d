#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrel_mmp::testing {

// A fresh directory under the system's temporary directory, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Points the platform layer at `directory`: preferences "<dir>/preferences.sqlite3",
// documents directory "<dir>/Documents", and the given bundle identifier.
void installIsolatedPlatform(const std::string& directory,
                             const std::string& bundleIdentifier = "com.tavrel.test");

// Polls `condition` until it holds or the time-out passes (for work that crosses the network,
// where no clock of ours can drive it).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::vector<std::uint8_t> bytes(const std::string& text);
std::string text(const std::vector<std::uint8_t>& bytes);

// Runs `body` with standard output captured and returns what it printed.
std::string captureStdout(const std::function<void()>& body);

// Path of a test host executable built beside the tests.
std::string testHostPath(const std::string& name);

}  // namespace tavrel_mmp::testing
