#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    bool answered = false;
    double sentAt = 0;         // monotonic seconds of the installed clock
    std::string path() const;  // the URL text after "scheme://host[:port]", or the URL itself
    std::optional<std::string> header(const std::string& name) const;
    nlohmann::json json() const;  // the body parsed (null when none or not JSON)
  };

  void send(platform::HttpRequest request, HttpCompletion completion) override;

  std::size_t count() const;
  std::size_t count(const std::string& pathSuffix) const;
  Sent at(std::size_t index) const;
  // Requests whose URL ends with the suffix, in sending order.
  std::vector<std::size_t> indexes(const std::string& pathSuffix) const;
  // Answers request `index` with a body, or with a transport error.
  void respond(std::size_t index, const std::string& body);
  void fail(std::size_t index, HttpError error = {"curl", 7, "Couldn't connect to server"});
  void respondNothing(std::size_t index);  // neither body nor error
  void clear();

 private:
  HttpCompletion take(std::size_t index);
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
};

}  // namespace tavrel_mmp::testing
