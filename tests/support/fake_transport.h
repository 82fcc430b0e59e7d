#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp::testing {

// An in-process transport that keeps every request until the test answers it, on the test's
// own thread, in whatever order the test chooses.
class FakeTransport : public platform::HttpTransport {
 public:
  struct Sent {
    platform::HttpRequest request;
    HttpCompletion completion;
    double sentAt = 0;  // monotonic seconds of the installed clock
    // The URL text after "scheme://host[:port]", or the URL itself.
    std::string path() const {
      const auto scheme = request.url.find("://");
      if (scheme == std::string::npos) return request.url;
      return request.url.substr(std::min(request.url.find('/', scheme + 3), request.url.size()));
    }
    std::optional<std::string> header(const std::string& name) const {
      for (const auto& [key, value] : request.headers)
        if (key == name) return value;
      return std::nullopt;
    }
    nlohmann::json json() const {  // the body parsed (null when none or not JSON)
      return request.body ? nlohmann::json::parse(*request.body, nullptr, false) : nullptr;
    }
  };

  void send(platform::HttpRequest request, HttpCompletion completion) override {
    const double now = platform::clock().monotonic();
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back({std::move(request), std::move(completion), now});
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_.size();
  }
  std::size_t count(const std::string& pathSuffix) const { return indexes(pathSuffix).size(); }
  Sent at(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_.at(index);
  }
  // Requests whose URL ends with the suffix, in sending order.
  std::vector<std::size_t> indexes(const std::string& pathSuffix) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < sent_.size(); ++i)
      if (sent_[i].request.url.ends_with(pathSuffix)) out.push_back(i);
    return out;
  }
  // Answers request `index` with a body, a transport error, or neither.
  void respond(std::size_t index, const std::string& body) {
    take(index)(std::vector<std::uint8_t>(body.begin(), body.end()), std::nullopt);
  }
  void fail(std::size_t index, HttpError error = {"curl", 7, "Couldn't connect to server"}) {
    take(index)(std::nullopt, std::move(error));
  }
  void respondNothing(std::size_t index) { take(index)(std::nullopt, std::nullopt); }

 private:
  HttpCompletion take(std::size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_.at(index).completion;
  }
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
};

}  // namespace tavrel_mmp::testing
