#pragma once

// Chromium without a window, driven over the DevTools protocol on a pipe: commands go to its
// descriptor 3 and answers and events come from its descriptor 4, each a JSON text ended by a
// NUL. Used by the live page's test and to take the README's screenshot.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

class HeadlessChromium {
 public:
  static constexpr const char* kDefaultExecutable = "/usr/bin/chromium";

  struct Options {
    std::string executable = kDefaultExecutable;
    int width = 1280;
    int height = 900;
    // For a service whose certificate the browser cannot know (one made for a single run).
    bool ignoreCertificateErrors = false;
    std::chrono::milliseconds commandTimeout = std::chrono::seconds(30);
  };

  // Starts the browser with a profile of its own; started() tells whether it came up.
  explicit HeadlessChromium(Options options);
  HeadlessChromium() : HeadlessChromium(Options{}) {}
  // Closes the browser (killing it if it does not go) and removes its profile.
  ~HeadlessChromium();
  HeadlessChromium(const HeadlessChromium&) = delete;
  HeadlessChromium& operator=(const HeadlessChromium&) = delete;

  bool started() const { return pid_ > 0; }
  // Why the last thing that failed failed.
  const std::string& error() const { return error_; }

  // Runs a command and returns its "result"; none on an error answer or a time-out.
  std::optional<nlohmann::json> call(const std::string& method,
                                     const nlohmann::json& params = nlohmann::json::object(),
                                     const std::string& sessionId = {});
  // Opens a tab at `url`; returns the session that drives it.
  std::optional<std::string> openPage(const std::string& url);
  // The value of a JavaScript expression in the page (a promise is awaited); none when it
  // throws or its value cannot be returned as JSON.
  std::optional<nlohmann::json> evaluate(const std::string& sessionId,
                                         const std::string& expression);
  // A PNG of the whole page, at the browser's width and the page's full height.
  std::optional<std::string> screenshotPng(const std::string& sessionId);

 private:
  bool sendMessage(const std::string& text);
  // The next whole message; none when the browser closed the pipe or the deadline passed.
  std::optional<nlohmann::json> receiveMessage(std::chrono::steady_clock::time_point deadline);
  bool fail(std::string why);

  Options options_;
  std::string profileDirectory_;
  pid_t pid_ = -1;
  int toBrowser_ = -1;
  int fromBrowser_ = -1;
  std::string received_;  // bytes after the last whole message
  long nextId_ = 1;
  std::string error_;
};

}  // namespace tavrel_mmp::tools
