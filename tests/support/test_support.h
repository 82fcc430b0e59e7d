#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "local_service/local_service.h"
#include "support/fake_transport.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/testing/manual_time.h"

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

// Preferences, documents directory (and so the event store) in `directory`; a fixed bundle.
void installIsolatedPlatform(const std::string& directory,
                             const std::string& bundleIdentifier = "com.tavrel.test");

// Polls `condition` until it holds or the time-out passes (for work no clock of ours drives).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

inline std::vector<std::uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}
inline std::string text(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

// What `body` printed on standard output; `captureLog` runs it in development mode, and then
// waits (10 s at most) until the output holds `awaited`, which a library thread may print later.
std::string captureStdout(const std::function<void()>& body);
std::string captureLog(const std::function<void()>& body, const std::string& awaited = "");

// Path of a test host executable built beside the tests.
std::string testHostPath(const std::string& name);

// Uses up the process's file descriptors while it lives: new descriptors take the lowest free
// number, and a limit at that number refuses them all.
class DescriptorShortage {
 public:
  DescriptorShortage();
  ~DescriptorShortage();
  DescriptorShortage(const DescriptorShortage&) = delete;
  DescriptorShortage& operator=(const DescriptorShortage&) = delete;

 private:
  rlimit saved_{};
};

// A TCP socket bound (not listening) to a free loopback port; -1 when none could be bound.
int boundLoopbackSocket(int& port);

// An accepted authentication: session "s1", token "tok", deep links kept for 7 days.
inline constexpr const char* kGranted =
    R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s1","token":"tok",)"
    R"("sessionExpireTimeInSeconds":3600,"deeplinkExpired":7}})";
inline constexpr const char* kAccepted = R"({"responseCode":200,"responseText":"OK"})";
void storeGrantedSession();

// Time in the test's hands: a manual clock starting at the real time, and a manual main loop.
struct ManualTime {
  std::shared_ptr<testing::ManualClock> clock;
  std::shared_ptr<testing::ManualMainLoop> loop;
};
ManualTime installManualTime();

// Wraps a real transport and knows when every request it passed on has completed.
class SettlingTransport : public platform::HttpTransport {
 public:
  explicit SettlingTransport(std::shared_ptr<platform::HttpTransport> inner)
      : inner_(std::move(inner)) {}
  void send(platform::HttpRequest request, HttpCompletion completion) override;
  // Waits until nothing is in flight; false when the time-out passed first.
  bool waitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  std::shared_ptr<platform::HttpTransport> inner_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int inFlight_ = 0;
};

// The process's one libcurl transport, wrapped; `installCurlTransport` also installs it. The
// transport is made at the first of these calls, with the options given then.
SettlingTransport& curlTransport();
SettlingTransport& installCurlTransport(const platform::CurlTransportOptions& options = {});

// Runs the main loop's tasks and one timer period, waiting for the requests they started.
void tickAndSettle(testing::ManualMainLoop& loop);
// Ticks until the event store is empty (at most `maxTicks` times); true once it is.
bool drainEvents(testing::ManualMainLoop& loop, int maxTicks = 1000);
// Events recorded and not yet delivered, asked on the main loop's thread; the largest count
// while the store cannot be read.
std::size_t pendingEventCount();

// Starts the library through the facade against the service at `baseUrl` and waits until the
// session is stored and the session start that follows it has completed.
bool startAndAuthenticate(const std::string& partnerCode, const std::string& baseUrl);

// The library offline: a fresh directory, a manual clock and main loop, an in-process transport
// the test answers by hand, and the base URL "http://service.test".
class OfflineTest : public ::testing::Test {
 protected:
  void SetUp() override;

  TempDir dir_;
  std::shared_ptr<testing::ManualClock> clock_ = std::make_shared<testing::ManualClock>();
  std::shared_ptr<testing::ManualMainLoop> loop_ =
      std::make_shared<testing::ManualMainLoop>(clock_);
  std::shared_ptr<FakeTransport> transport_ = std::make_shared<FakeTransport>();
};

// The library against the local measurement service over libcurl, time in the test's hands.
class ServiceTest : public ::testing::Test {
 protected:
  using Data = std::map<std::string, nlohmann::json>;
  void SetUp() override;
  bool start(const std::string& partnerCode = "P") {
    return startAndAuthenticate(partnerCode, service_.baseUrl());
  }
  // Uploads what is pending; then the events with this name that reached the service.
  std::vector<tools::StoredEvent> arrived(const std::string& key);
  // An uploaded event's data as a map.
  static Data dataOf(const nlohmann::json& event);

  TempDir dir_;
  ManualTime time_ = installManualTime();
  tools::LocalService service_;
};

}  // namespace tavrel_mmp::testing
