#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "core/common.h"
#include "crash/crash_file.h"
#include "crash/crashlytics.h"
#include "crash/exception_report.h"
#include "session/storage_helper.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using namespace std::chrono_literals;
constexpr const char* kCrashKey = "TavrelMMP_last_crash";
constexpr const char* kHashKey = "TavrelMMP_last_crash_hash";

std::optional<std::string> stored(const char* key) {
  return StorageHelper::shared().getValue(key);
}

template <class Thrown>
std::string hashOf(Thrown thrown) {
  return Common::md5(std::to_string(describeException(std::make_exception_ptr(thrown)).hashValue));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // AddressSanitizer's own SEGV handler was there first
#else
constexpr bool kSanitized = false;
#endif

TEST(CrashCapture, EveryFatalFailureIsRecordedAndEndsTheProcessThroughTheEarlierHandlers) {
  const std::string segv = "previous SIGSEGV handler ran", abrt = "previous SIGABRT handler ran",
                    term = "previous terminate handler ran", boom = "boom from crash host",
                    unhandled = "Unhandled exception: ",
                    notStd = "exception of a type not derived from std::exception";
  const struct {
    std::string mode;
    int signal;
    std::vector<std::string> markers;
    std::string text;  // an exception's text goes on with the frames
    std::string hash;
  } cases[] = {
      {"segv", SIGSEGV, {segv}, "Signal 11 caught", Common::md5("11")},
      {"segv-bare", SIGSEGV, {}, "Signal 11 caught", Common::md5("11")},  // no earlier handler
      {"overflow", SIGSEGV, {segv}, "Signal 11 caught", Common::md5("11")},
      {"abort", SIGABRT, {abrt}, "Signal 6 caught", Common::md5("6")},
      {"throw", SIGABRT, {term, abrt}, unhandled + boom, hashOf(std::runtime_error(boom))},
      {"throw-int", SIGABRT, {term, abrt}, unhandled + notStd, hashOf(42)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    testing::TempDir dir;
    std::vector<std::string> lines;
    std::optional<int> status;
    {
      testing::ChildProcess child(testing::testHostPath("test_host"),
                                  {"crash-" + c.mode, dir.path()});
      while (auto line = child.readLine(60s)) lines.push_back(*line);
      status = child.wait(60s);
    }
    ASSERT_TRUE(status);
    if (!(kSanitized && c.mode == "segv-bare")) {
      ASSERT_TRUE(WIFSIGNALED(*status)) << *status;
      EXPECT_EQ(WTERMSIG(*status), c.signal);
    }
    // Each earlier handler ran exactly once: ours never hands a signal to itself.
    for (const auto& marker : c.markers)
      EXPECT_EQ(std::count(lines.begin(), lines.end(), marker), 1) << marker;

    // The next start in the same directory imports what the crashed process left.
    testing::installIsolatedPlatform(dir.path());
    Crashlytics::setup();
    const std::string text = stored(kCrashKey).value_or("");
    if (c.mode.starts_with("throw")) {
      EXPECT_TRUE(text.starts_with(c.text + "\n[\"") && text.ends_with("\"]")) << text;
      EXPECT_NE(text.find("test_host"), std::string::npos) << text;
    } else {
      EXPECT_EQ(text, c.text);
    }
    EXPECT_EQ(stored(kHashKey), c.hash);
  }
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

using CrashUploadTest = testing::OfflineTest;

TEST_F(CrashUploadTest, OnlyA2xxEnvelopeClearsTheRecord) {
  testing::storeGrantedSession();
  const auto envelope = [](int code) {
    return R"({"responseCode":)" + std::to_string(code) + R"(,"responseText":"T"})";
  };
  const std::pair<std::optional<std::string>, bool> answers[] = {
      // none: a transport error
      {envelope(200), true},  {envelope(299), true}, {envelope(300), false},
      {envelope(199), false}, {"<html>", false},     {std::nullopt, false}};
  for (const auto& [answer, cleared] : answers) {
    SCOPED_TRACE(answer.value_or("transport error"));
    StorageHelper::shared().save("Signal 11 caught", kCrashKey);
    StorageHelper::shared().save(Common::md5("11"), kHashKey);
    Crashlytics::check();
    const std::size_t index = transport_->count() - 1;
    const auto sent = transport_->at(index);
    EXPECT_EQ(sent.path() + " " + sent.json().value("platform", ""), "/partner/crash/log ios");
    EXPECT_EQ(sent.json()["hash"], Common::md5("11"));
    EXPECT_EQ(sent.header("Authorization"), "tok");
    answer ? transport_->respond(index, *answer) : transport_->fail(index);
    EXPECT_EQ(stored(kCrashKey), cleared ? "" : "Signal 11 caught");
    EXPECT_EQ(stored(kHashKey), cleared ? "" : Common::md5("11"));
  }
}

TEST_F(CrashUploadTest, RecordErrorIsStoredBeforeAuthenticationAndSentAtOnceAfter) {
  Crashlytics::recordError("E", "trace");
  EXPECT_EQ(transport_->count(), 0u);
  EXPECT_EQ(stored(kCrashKey), "trace");
  EXPECT_EQ(stored(kHashKey), Common::md5("E"));

  testing::storeGrantedSession();
  Crashlytics::recordError("F", "sent");
  Crashlytics::recordError("F", "another trace");
  ASSERT_EQ(transport_->count(), 2u);
  EXPECT_EQ(transport_->at(0).json()["stackTrace"], "sent");
  // The hash follows the name alone.
  EXPECT_EQ(transport_->at(0).json()["hash"], Common::md5("F"));
  EXPECT_EQ(transport_->at(1).json()["hash"], Common::md5("F"));
  EXPECT_EQ(stored(kCrashKey), "trace");
  transport_->respond(0, testing::kAccepted);
  EXPECT_EQ(stored(kCrashKey), "");
  // A failed upload keeps its report, replacing what came meanwhile.
  transport_->fail(1);
  EXPECT_EQ(stored(kCrashKey), "another trace");
  EXPECT_EQ(stored(kHashKey), Common::md5("F"));
}

}  // namespace
}  // namespace tavrel_mmp
