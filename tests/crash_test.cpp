#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <stdexcept>

#include "core/common.h"
#include "crash/crash_file.h"
#include "crash/crashlytics.h"
#include "crash/exception_report.h"
#include "device/device_info.h"
#include "local_service/local_service.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/child_process.h"
#include "support/fake_transport.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;
using testing::bytes;

constexpr const char* kCrashKey = "TavrelMMP_last_crash";
constexpr const char* kHashKey = "TavrelMMP_last_crash_hash";
constexpr const char* kGranted =
    R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s1","token":"tok",)"
    R"("sessionExpireTimeInSeconds":3600}})";

std::optional<std::string> stored(const char* key) {
  return StorageHelper::shared().getValue(key);
}

struct HostRun {
  int status = -1;
  std::vector<std::string> lines;
};

HostRun runHost(const std::string& mode, const std::string& directory) {
  testing::ChildProcess child(testing::testHostPath("crash_host"), {mode, directory});
  HostRun run;
  while (auto line = child.readLine(60s)) run.lines.push_back(*line);
  run.status = child.wait(60s).value_or(-1);
  return run;
}

// The next start in the same directory: this process imports what the child left.
void startAgainIn(const testing::TempDir& dir) {
  testing::installIsolatedPlatform(dir.path());
  Crashlytics::setup();
}

std::string exceptionHash(const std::exception_ptr& exception) {
  return Common::md5(std::to_string(describeException(exception).hashValue));
}

TEST(CrashCapture, EveryFatalFailureIsRecordedAndEndsTheProcessThroughTheEarlierHandlers) {
  const std::string segv = "previous SIGSEGV handler ran", abrt = "previous SIGABRT handler ran",
                    terminate = "previous terminate handler ran";
  const struct {
    std::string mode;
    int signal;
    std::vector<std::string> markers;
    std::string text;  // the exception texts continue with the frames
    std::string hash;
  } cases[] = {
      {"segv", SIGSEGV, {segv}, "Signal 11 caught", Common::md5("11")},
      {"overflow", SIGSEGV, {segv}, "Signal 11 caught", Common::md5("11")},
      {"abort", SIGABRT, {abrt}, "Signal 6 caught", Common::md5("6")},
      {"throw",
       SIGABRT,
       {terminate, abrt},
       "Unhandled exception: boom from crash host\n[\"",
       exceptionHash(std::make_exception_ptr(std::runtime_error("boom from crash host")))},
      {"throw-int",
       SIGABRT,
       {terminate, abrt},
       "Unhandled exception: exception of a type not derived from std::exception\n[\"",
       exceptionHash(std::make_exception_ptr(42))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    testing::TempDir dir;
    const HostRun run = runHost(c.mode, dir.path());
    ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
    EXPECT_EQ(WTERMSIG(run.status), c.signal);
    // Each earlier handler ran exactly once: ours never hands a signal to itself.
    for (const auto& marker : c.markers) {
      EXPECT_EQ(std::count(run.lines.begin(), run.lines.end(), marker), 1) << marker;
    }

    startAgainIn(dir);
    const std::string text = stored(kCrashKey).value_or("");
    if (c.signal == SIGSEGV || c.mode == "abort") {
      EXPECT_EQ(text, c.text);
    } else {
      EXPECT_TRUE(text.starts_with(c.text) && text.ends_with("\"]")) << text;
      EXPECT_NE(text.find("crash_host"), std::string::npos) << text;
    }
    EXPECT_EQ(stored(kHashKey), c.hash);
  }
}

TEST(CrashCapture, WithoutAnEarlierHandlerTheDefaultOrTheSanitizerEndsTheProcess) {
  testing::TempDir dir;
  const HostRun run = runHost("segv-bare", dir.path());
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's own handler was there first: it reports and ends the process.
  const bool reported = std::any_of(run.lines.begin(), run.lines.end(), [](const auto& line) {
    return line.find("ERROR: AddressSanitizer: SEGV") != std::string::npos;
  });
  EXPECT_TRUE(reported);
  EXPECT_FALSE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
#else
  ASSERT_TRUE(WIFSIGNALED(run.status)) << run.status;
  EXPECT_EQ(WTERMSIG(run.status), SIGSEGV);
#endif
  startAgainIn(dir);
  EXPECT_EQ(stored(kCrashKey), "Signal 11 caught");
  EXPECT_EQ(stored(kHashKey), Common::md5("11"));
}

TEST(CrashFileImport, OnlyACompleteFileBecomesTheRecord) {
  const std::string complete = CrashFile::encode({"Signal 8 caught", Common::md5("8")});
  for (const std::string& content :
       {complete, std::string(), complete.substr(0, complete.size() - 1),
        complete.substr(0, complete.size() / 2), complete + "x",
        std::string("TVRMMP-CRASH/1 99999999999999999999 0\n")}) {
    SCOPED_TRACE(content);
    testing::TempDir dir;
    testing::installIsolatedPlatform(dir.path());
    StorageHelper::shared().save("earlier", kCrashKey);
    const std::string path = CrashFile::pathIn(dir.path() + "/Documents");
    std::ofstream(path, std::ios::binary) << content;

    Crashlytics::setup();
    EXPECT_EQ(stored(kCrashKey), content == complete ? "Signal 8 caught" : "earlier");
    // What remains is this process's own crash file: empty and private.
    struct stat facts {};
    ASSERT_EQ(::stat(path.c_str(), &facts), 0);
    EXPECT_EQ(facts.st_size, 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);
  }
}

// Uploads through libcurl to the local measurement service.
class CrashUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    testing::installCurlTransport();
    ASSERT_TRUE(service_.start());
    SessionManager::setBaseUrl(service_.baseUrl());
    ASSERT_TRUE(testing::signInWithoutSessionStart("CRASH"));
    // Marks the stored hash (written after the text) while the service holds the request, so
    // the test sees when the completion has put its outcome into the store.
    service_.setRequestListener([this](const tools::RecordedRequest&) {
      StorageHelper::shared().save("in flight", kHashKey);
      ++marked_;
    });
  }

  tools::RecordedRequest checkAndSettle() {
    service_.clearRequests();
    const int before = marked_;
    Crashlytics::check();
    EXPECT_TRUE(
        testing::waitUntil([&] { return marked_ > before && stored(kHashKey) != "in flight"; }));
    return service_.requests("/partner/crash/log").at(0);
  }

  std::atomic<int> marked_{0};
  testing::TempDir dir_;
  tools::LocalService service_;
};

TEST_F(CrashUpload, OnlyA2xxEnvelopeClearsTheRecord) {
  using Kind = tools::Fault::Kind;
  const struct {
    const char* name;
    std::optional<tools::Fault> fault;
    bool cleared;
  } cases[] = {
      {"service's own 200", std::nullopt, true},
      {"299", tools::Fault{Kind::responseCode, 299}, true},
      {"200 with HTTP 500", tools::Fault{Kind::responseCode, 200, 500}, true},
      {"300", tools::Fault{Kind::responseCode, 300}, false},
      {"199", tools::Fault{Kind::responseCode, 199}, false},
      {"not JSON", tools::Fault{Kind::notJson}, false},
      {"dropped connection", tools::Fault{Kind::closeConnection}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service_.clearAllFaults();
    if (c.fault) service_.setFault("/partner/crash/log", *c.fault);
    StorageHelper::shared().save("Signal 11 caught", kCrashKey);
    StorageHelper::shared().save(Common::md5("11"), kHashKey);

    const auto request = checkAndSettle();
    EXPECT_EQ(request.json(), (nlohmann::json{
                                  {"platform", "ios"},
                                  {"hash", Common::md5("11")},
                                  {"deviceModel", DeviceInfo::getDeviceIdentifier()},
                                  {"osVersion", platform::deviceFacts().systemVersion()},
                                  {"appVersion", "1.0.0"},
                                  {"stackTrace", "Signal 11 caught"},
                              }));
    EXPECT_EQ(request.header("authorization"), StorageHelper::shared().getAuthData()->data->token);
    EXPECT_EQ(stored(kCrashKey), c.cleared ? "" : "Signal 11 caught");
    EXPECT_EQ(stored(kHashKey), c.cleared ? "" : Common::md5("11"));
  }
}

// Where nothing may be sent: an in-process transport sees every request as it is made.
class CrashUploadOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::installIsolatedPlatform(dir_.path());
    platform::installHttpTransport(transport_);
    SessionManager::setBaseUrl("http://service.test");
  }
  testing::TempDir dir_;
  std::shared_ptr<testing::FakeTransport> transport_ = std::make_shared<testing::FakeTransport>();
};

TEST_F(CrashUploadOffline, OnlyAStoredTextIsSentAndAMissingTextHashIsItsMd5) {
  auto& preferences = platform::preferencesStore();
  StorageHelper::shared().saveAuthData(bytes(kGranted));
  preferences.setText(kHashKey, "h");
  Crashlytics::check();  // no text
  preferences.setBytes(kCrashKey, bytes("trace"));
  Crashlytics::check();
  preferences.setText(kCrashKey, "");
  Crashlytics::check();
  EXPECT_EQ(transport_->count(), 0u);

  preferences.setText(kCrashKey, "trace");
  Crashlytics::check();
  preferences.setBytes(kHashKey, bytes("h"));
  Crashlytics::check();
  preferences.remove(kHashKey);
  Crashlytics::check();
  ASSERT_EQ(transport_->count(), 3u);
  EXPECT_EQ(transport_->at(0).json()["hash"], "h");
  EXPECT_EQ(transport_->at(1).json()["hash"], Common::md5("trace"));
  EXPECT_EQ(transport_->at(2).json()["hash"], Common::md5("trace"));
}

TEST_F(CrashUploadOffline, RecordErrorIsStoredBeforeAuthenticationAndSentAtOnceAfter) {
  Crashlytics::recordError("E", "trace");
  EXPECT_EQ(transport_->count(), 0u);
  EXPECT_EQ(stored(kCrashKey), "trace");
  EXPECT_EQ(stored(kHashKey), Common::md5("E"));

  StorageHelper::shared().saveAuthData(bytes(kGranted));
  Crashlytics::recordError("F", "sent");
  Crashlytics::recordError("F", "another trace");
  ASSERT_EQ(transport_->count(), 2u);
  EXPECT_EQ(transport_->at(0).json()["stackTrace"], "sent");
  // The hash follows the name alone.
  EXPECT_EQ(transport_->at(0).json()["hash"], Common::md5("F"));
  EXPECT_EQ(transport_->at(1).json()["hash"], Common::md5("F"));
  EXPECT_EQ(stored(kCrashKey), "trace");
  transport_->respond(0, R"({"responseCode":200,"responseText":"OK"})");
  EXPECT_EQ(stored(kCrashKey), "");
  // A failed upload keeps its report, replacing what came meanwhile.
  transport_->fail(1);
  EXPECT_EQ(stored(kCrashKey), "another trace");
  EXPECT_EQ(stored(kHashKey), Common::md5("F"));
}

}  // namespace
}  // namespace tavrel_mmp
