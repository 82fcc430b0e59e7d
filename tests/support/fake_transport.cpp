#include "support/fake_transport.h"

#include <stdexcept>

#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp::testing {

std::string FakeTransport::Sent::path() const {
  const auto scheme = request.url.find("://");
  if (scheme == std::string::npos) return request.url;
  const auto slash = request.url.find('/', scheme + 3);
  return slash == std::string::npos ? "" : request.url.substr(slash);
}

std::optional<std::string> FakeTransport::Sent::header(const std::string& name) const {
  for (const auto& [key, value] : request.headers) {
    if (key == name) return value;
  }
  return std::nullopt;
}

nlohmann::json FakeTransport::Sent::json() const {
  if (!request.body) return nullptr;
  return nlohmann::json::parse(*request.body, nullptr, false);
}

void FakeTransport::send(platform::HttpRequest request, HttpCompletion completion) {
  const double now = platform::clock().monotonic();
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.push_back({std::move(request), std::move(completion), false, now});
}

std::size_t FakeTransport::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.size();
}

std::size_t FakeTransport::count(const std::string& pathSuffix) const {
  return indexes(pathSuffix).size();
}

FakeTransport::Sent FakeTransport::at(std::size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sent_.at(index);
}

std::vector<std::size_t> FakeTransport::indexes(const std::string& pathSuffix) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < sent_.size(); ++i) {
    const auto& url = sent_[i].request.url;
    if (url.size() >= pathSuffix.size() &&
        url.compare(url.size() - pathSuffix.size(), pathSuffix.size(), pathSuffix) == 0) {
      out.push_back(i);
    }
  }
  return out;
}

HttpCompletion FakeTransport::take(std::size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& sent = sent_.at(index);
  if (sent.answered) throw std::logic_error("request answered twice");
  sent.answered = true;
  return sent.completion;
}

void FakeTransport::respond(std::size_t index, const std::string& body) {
  auto completion = take(index);
  completion(std::vector<std::uint8_t>(body.begin(), body.end()), std::nullopt);
}

void FakeTransport::fail(std::size_t index, HttpError error) {
  auto completion = take(index);
  completion(std::nullopt, std::move(error));
}

void FakeTransport::respondNothing(std::size_t index) {
  auto completion = take(index);
  completion(std::nullopt, std::nullopt);
}

void FakeTransport::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  sent_.clear();
}

}  // namespace tavrel_mmp::testing
