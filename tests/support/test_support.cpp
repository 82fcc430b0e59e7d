#include "support/test_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/tracking_event.h"
#include "secret/secret_generator.h"
#include "session/session_manager.h"
#include "settings/base_url.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/main_loop.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"
#include "tavrel_mmp/platform/system_clock.h"

namespace tavrel_mmp::testing {
namespace {

// The library's state is process-wide (the stores, the tracker, the session), as it is in a
// host: each test case needs a process of its own, which ctest gives it. A second case in the
// same process would run against what the first left, so it fails at once, saying why.
class OneCasePerProcess : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo& test) override {
    if (!first_.empty()) {
      ADD_FAILURE() << "tavrel_mmp tests run one case per process (the library's state is "
                       "process-wide, and "
                    << first_ << " ran in this one already): run them through ctest, or pick one "
                    << "case with --gtest_filter=" << test.test_suite_name() << "." << test.name();
    }
    first_ = std::string(test.test_suite_name()) + "." + test.name();
  }
  std::string first_;
};

const bool kOneCasePerProcess = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new OneCasePerProcess);
  return true;
}();

}  // namespace

TempDir::TempDir() {
  path_ = (std::filesystem::temp_directory_path() / "tavrel_mmp_test_XXXXXX").string();
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void installIsolatedPlatform(const std::string& directory, const std::string& bundleIdentifier) {
  std::filesystem::create_directories(directory + "/Documents");
  platform::installPreferencesStore(
      platform::makeSqlitePreferencesStore(directory + "/preferences.sqlite3"));
  platform::installDocumentsDirectory(
      platform::makeFixedDocumentsDirectory(directory + "/Documents"));
  platform::installBundleInfo(platform::makeFixedBundleInfo(bundleIdentifier, "1.0.0"));
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string captureStdout(const std::function<void()>& body) {
  std::fflush(stdout);
  std::FILE* capture = std::tmpfile();
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(::fileno(capture), STDOUT_FILENO);
  body();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string out(static_cast<std::size_t>(::lseek(::fileno(capture), 0, SEEK_END)), '\0');
  std::rewind(capture);
  out.resize(std::fread(out.data(), 1, out.size(), capture));
  std::fclose(capture);
  return out;
}

std::string captureLog(const std::function<void()>& body, const std::string& awaited) {
  Logger::setDevMode(true);
  std::string out = captureStdout([&] {
    body();
    // Standard output is the capture file meanwhile: read it again until the text shows.
    waitUntil([&] {
      std::fflush(stdout);
      std::ifstream file("/proc/self/fd/1");
      return std::string(std::istreambuf_iterator<char>(file), {}).find(awaited) !=
             std::string::npos;
    });
  });
  Logger::setDevMode(false);
  return out;
}

DescriptorShortage::DescriptorShortage() {
  ::getrlimit(RLIMIT_NOFILE, &saved_);
  rlimit tight = saved_;
  tight.rlim_cur = static_cast<rlim_t>(::dup(0));
  ::close(static_cast<int>(tight.rlim_cur));
  ::setrlimit(RLIMIT_NOFILE, &tight);
}

DescriptorShortage::~DescriptorShortage() {
  ::setrlimit(RLIMIT_NOFILE, &saved_);
}

std::string testHostPath(const std::string& name) {
  return std::string(TEST_HOSTS_DIR) + "/" + name;
}

int boundLoopbackSocket(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return -1;
  }
  port = ntohs(address.sin_port);
  return fd;
}

void storeGrantedSession() {
  StorageHelper::shared().saveAuthData(bytes(kGranted));
}

ManualTime installManualTime() {
  auto clock = std::make_shared<testing::ManualClock>(platform::makeSystemClock()->now());
  auto loop = std::make_shared<testing::ManualMainLoop>(clock);
  platform::installClock(clock);
  platform::installMainLoop(loop);
  return {clock, loop};
}

void SettlingTransport::send(platform::HttpRequest request, HttpCompletion completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inFlight_;
  }
  inner_->send(std::move(request),
               [this, completion = std::move(completion)](auto body, auto error) {
                 if (completion) completion(std::move(body), std::move(error));
                 std::lock_guard<std::mutex> lock(mutex_);
                 if (--inFlight_ == 0) idle_.notify_all();
               });
}

bool SettlingTransport::waitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, timeout, [this] { return inFlight_ == 0; });
}

namespace {

SettlingTransport& processCurlTransport(const platform::CurlTransportOptions& options) {
  static auto* curl = new SettlingTransport(platform::makeCurlTransport(options));
  return *curl;
}

}  // namespace

SettlingTransport& curlTransport() {
  return processCurlTransport({});
}

SettlingTransport& installCurlTransport(const platform::CurlTransportOptions& options) {
  SettlingTransport& curl = processCurlTransport(options);
  // A non-owning handle to the process-long instance.
  platform::installHttpTransport(
      std::shared_ptr<SettlingTransport>(std::shared_ptr<void>(), &curl));
  return curl;
}

void tickAndSettle(testing::ManualMainLoop& loop) {
  loop.runPending();
  curlTransport().waitIdle();
  loop.advance(TrackingEvent::timerPeriod);
  curlTransport().waitIdle();
}

bool drainEvents(testing::ManualMainLoop& loop, int maxTicks) {
  for (int i = 0; i < maxTicks && pendingEventCount() > 0; ++i) tickAndSettle(loop);
  return pendingEventCount() == 0;
}

std::size_t pendingEventCount() {
  const auto count = [] {
    const auto events = DatabaseHelper::shared().getEvents(1'000'000);
    return events ? events->size() : std::numeric_limits<std::size_t>::max();
  };
  // Only the main loop's thread uses the store: the test's own when it drives the loop.
  if (dynamic_cast<testing::ManualMainLoop*>(&platform::mainLoop()) != nullptr) return count();
  auto answer = std::make_shared<std::promise<std::size_t>>();
  auto counted = answer->get_future();
  platform::mainLoop().post([answer, count] { answer->set_value(count()); });
  return counted.get();
}

bool startAndAuthenticate(const std::string& partnerCode, const std::string& baseUrl) {
  Nimbrel::intSDK(partnerCode, tools::makeAppSecret(baseUrl, partnerCode),
                  std::make_shared<NimbrelOptions>());
  auto* manual = dynamic_cast<testing::ManualMainLoop*>(&platform::mainLoop());
  return waitUntil([&] {
           if (manual != nullptr) manual->runPending();
           const auto auth = StorageHelper::shared().getAuthData();
           return auth && auth->data;
         }) &&
         curlTransport().waitIdle();
}

void OfflineTest::SetUp() {
  installIsolatedPlatform(dir_.path());
  platform::installClock(clock_);
  platform::installMainLoop(loop_);
  platform::installHttpTransport(transport_);
  BaseUrl::set("http://service.test");
}

void ServiceTest::SetUp() {
  installIsolatedPlatform(dir_.path());
  installCurlTransport();
  ASSERT_TRUE(service_.start());
}

std::vector<tools::StoredEvent> ServiceTest::arrived(const std::string& key) {
  EXPECT_TRUE(drainEvents(*time_.loop));
  std::vector<tools::StoredEvent> out;
  for (const auto& [id, stored] : service_.events())
    if (stored.event["key"] == key) out.push_back(stored);
  return out;
}

ServiceTest::Data ServiceTest::dataOf(const nlohmann::json& event) {
  Data out;
  for (const auto& entry : event["data"]) out[entry["key"]] = entry["value"];
  return out;
}

}  // namespace tavrel_mmp::testing
