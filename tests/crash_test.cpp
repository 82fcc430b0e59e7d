#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/common.h"
#include "crash/crash_file.h"
#include "crash/crashlytics.h"
#include "crash/exception_report.h"
#include "platform/thread_signals.h"
#include "settings/storage_helper.h"
#include "support/child_process.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

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

#if defined(__arm__)
// Seen under qemu-arm: the unwinder does not pass the signal frame, so a signal's report has the
// interrupted frame alone (for abort(), one in the C library).
constexpr bool kStackEndsAtSignalFrame = true;
#else
constexpr bool kStackEndsAtSignalFrame = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // AddressSanitizer's own SEGV handler was there first
#else
constexpr bool kSanitized = false;
#endif

// A fault that reaches no handler of the host's ends the process by SIGSEGV, or under the
// sanitizer by its own handler's exit status.
bool endedByUnhandledFault(int status) {
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGSEGV;
  return kSanitized && WIFEXITED(status) && WEXITSTATUS(status) != 0;
}

struct HostRun {
  std::vector<std::string> lines;
  std::optional<int> status;
  std::size_t count(const std::string& line) const {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
};

HostRun runHost(const std::vector<std::string>& args) {
  HostRun run;
  testing::ChildProcess child(testing::testHostPath("test_host"), args);
  while (auto line = child.readLine(60s)) run.lines.push_back(*line);
  run.status = child.wait(60s);
  return run;
}

// The next start in `directory` (documents in `documents`, by default its "Documents"): what it
// imports from the crash files there.
std::string importAtNextStart(const std::string& directory, const std::string& documents = "") {
  testing::installIsolatedPlatform(directory);
  if (!documents.empty()) {
    platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(documents));
  }
  Crashlytics::setup();
  return stored(kCrashKey).value_or("");
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string firstLineOf(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

struct CrashFileFacts {
  std::string path;
  std::uintmax_t size;
};
std::vector<CrashFileFacts> crashFiles(const std::string& documents) {
  std::vector<CrashFileFacts> files;
  for (const auto& entry : std::filesystem::directory_iterator(documents)) {
    if (CrashFile::isCrashFileName(entry.path().filename().string())) {
      files.push_back({entry.path().string(), entry.file_size()});
    }
  }
  return files;
}

TEST(CrashCapture, AFaultNobodyResolvesIsRecordedAndEndsTheProcessEachHandlerRunningOnce) {
  const std::string segv = "previous SIGSEGV handler ran", abrt = "previous SIGABRT handler ran",
                    term = "previous terminate handler ran", boom = "boom from crash host",
                    reporter = "other reporter wrote its report",
                    unhandled = "Unhandled exception: ",
                    notStd = "exception of a type not derived from std::exception";
  const std::string signal11 = "Signal 11 caught", hash11 = Common::md5("11");
  constexpr int kReporterExit = 70;
  const struct {
    std::string mode;
    int signal;  // 0: exits with kReporterExit
    std::vector<std::string> markers;
    std::string text;  // an exception's text goes on with the frames
    std::string hash;
  } cases[] = {
      // The earlier handler returns and the fault comes straight back.
      {"segv", SIGSEGV, {segv}, signal11, hash11},
      {"segv-bare", SIGSEGV, {}, signal11, hash11},  // no earlier handler
      {"overflow", SIGSEGV, {segv}, signal11, hash11},
      // The earlier handler is a one-shot one: the fault runs again at the default action.
      {"segv-oneshot", SIGSEGV, {segv}, signal11, hash11},
      // The host's handler, installed after ours and calling ours, stays in front of it.
      {"segv-host-after", SIGSEGV, {"host SIGSEGV handler ran"}, signal11, hash11},
      // Another crash reporter ends the process from inside the earlier handler.
      {"reporter-exit", 0, {reporter}, signal11, hash11},
      {"reporter-raise", SIGSEGV, {reporter}, signal11, hash11},
      // Two threads inside the earlier handler at once; the one whose fault is resolved goes
      // on, the other's reporter ends the process.
      {"two-threads", 0, {reporter}, signal11, hash11},
      {"two-threads-unresolved", SIGSEGV, {}, signal11, hash11},
      // One thread waits inside the earlier handler while another's fault of another signal
      // ends the process through its reporter: the record is of the signal that ended it.
      {"two-signals", 0, {reporter}, "Signal 7 caught", Common::md5("7")},
      {"abort", SIGABRT, {abrt}, "Signal 6 caught", Common::md5("6")},
      {"throw", SIGABRT, {term, abrt}, unhandled + boom, hashOf(std::runtime_error(boom))},
      {"throw-int", SIGABRT, {term, abrt}, unhandled + notStd, hashOf(42)},
      // The host's terminate handler, set after ours and calling ours, stays in front of it.
      {"throw-chained",
       SIGABRT,
       {"host terminate handler ran", term, abrt},
       unhandled + boom,
       hashOf(std::runtime_error(boom))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    testing::TempDir dir;
    const HostRun run = runHost({"crash-" + c.mode, dir.path()});
    ASSERT_TRUE(run.status);
    // Under the sanitizer its handler is the earlier one where the host put none, and it exits.
    if (!(kSanitized && (c.mode == "segv-bare" || c.mode == "segv-host-after"))) {
      if (c.signal == 0) {
        ASSERT_TRUE(WIFEXITED(*run.status)) << *run.status;
        EXPECT_EQ(WEXITSTATUS(*run.status), kReporterExit);
      } else {
        ASSERT_TRUE(WIFSIGNALED(*run.status)) << *run.status;
        EXPECT_EQ(WTERMSIG(*run.status), c.signal);
      }
    }
    // Each earlier handler ran exactly once: ours never hands a signal to itself.
    for (const auto& marker : c.markers) EXPECT_EQ(run.count(marker), 1u) << marker;

    // The first line; a signal's then says where and on which thread; the stack's frames name
    // the host's own module with its build id.
    const std::string text = importAtNextStart(dir.path());
    if (c.mode.starts_with("throw")) {
      EXPECT_TRUE(text.starts_with(c.text + "\n[\"") && text.ends_with("\"]")) << text;
    } else {
      const auto lines = linesOf(text);
      ASSERT_GE(lines.size(), 4u) << text;
      EXPECT_EQ(lines[0], c.text);
      EXPECT_TRUE(lines[1].starts_with(c.mode == "abort" ? "Raised by" : "Fault address: 0x"));
      EXPECT_TRUE(lines[2].starts_with("Thread: ")) << lines[2];
      EXPECT_TRUE(lines[3].starts_with("#0 pc 0x")) << lines[3];
    }
    if (!(kStackEndsAtSignalFrame && c.mode == "abort")) {
      EXPECT_NE(text.find("/test_host (BuildId: "), std::string::npos) << text;
    }
    EXPECT_EQ(stored(kHashKey), c.hash);
  }
}

TEST(CrashCapture, AFaultTheHostResolvesLeavesTheProcessAliveAndNoRecord) {
  const struct {
    std::string mode;
    std::vector<std::string> lines;
  } cases[] = {
      // A guard page opened by the host's handler, which returns.
      {"guard-return", {"guard page opened", "survived"}},
      {"guard-return-installed-after", {"guard page opened", "survived"}},
      {"guard-return-oneshot", {"guard page opened", "survived"}},
      // An address probe jumping out of the handler, twice in a row.
      {"jump-out", {"jumped out 1", "jumped out 2", "survived"}},
      // A call into the library after the jump, then an end that skips the exit handlers.
      {"jump-out-_exit", {"jumped out", "survived"}},
      // A jump that leaves the signal blocked: the record goes after the last-resort time, or
      // at once when the process exits.
      {"jump-out-keeping-mask", {"jumped out", "record cancelled", "survived"}},
      {"jump-out-keeping-mask-exit", {"jumped out", "survived"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    // qemu-user shows its own threads' masks: only the exit handlers end the round there.
    if (c.mode == "jump-out-_exit" && testing::runsUnderEmulator()) {
      EXPECT_FALSE(platform::threadSignalMasksKnown());
      continue;
    }
    testing::TempDir dir;
    const HostRun run = runHost({"survive-" + c.mode, dir.path()});
    ASSERT_TRUE(run.status);
    ASSERT_TRUE(WIFEXITED(*run.status)) << *run.status;
    EXPECT_EQ(WEXITSTATUS(*run.status), 0);
    EXPECT_EQ(run.lines, c.lines);
    EXPECT_EQ(importAtNextStart(dir.path()), "");
  }
}

TEST(CrashCapture, IsPreparedAgainAtALaterStartOfWork) {
  for (const std::string then : {"setup", "check"}) {
    SCOPED_TRACE(then);
    testing::TempDir dir;
    const HostRun run = runHost({"late-documents", dir.path(), then});
    ASSERT_TRUE(run.status);
    EXPECT_TRUE(endedByUnhandledFault(*run.status)) << *run.status;
    EXPECT_EQ(firstLineOf(importAtNextStart(dir.path(), dir.path() + "/Later")),
              "Signal 11 caught");
  }
}

TEST(CrashFiles, ARunningInstanceKeepsItsFileWhileAnotherStarts) {
  testing::TempDir dir;
  testing::ChildProcess first(testing::testHostPath("test_host"), {"hold-then-crash", dir.path()});
  ASSERT_EQ(first.readLine(60s), "ready");
  const auto heldByFirst = crashFiles(dir.path() + "/Documents");
  ASSERT_EQ(heldByFirst.size(), 1u);

  const HostRun second = runHost({"import", dir.path()});
  EXPECT_EQ(second.lines, std::vector<std::string>{"imported="});
  EXPECT_TRUE(std::filesystem::exists(heldByFirst[0].path));

  std::ofstream(dir.path() + "/go").put('1');
  const auto status = first.wait(60s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(endedByUnhandledFault(*status)) << *status;
  EXPECT_EQ(firstLineOf(importAtNextStart(dir.path())), "Signal 11 caught");
}

TEST(CrashFiles, AForkedChildNeverWritesIntoItsParentsFile) {
  const struct {
    std::string childSetup;
    std::size_t filesWithARecord;
    std::string imported;
  } cases[] = {
      {"", 0, ""},                       // the parent's file is the only one, and stays empty
      {"setup", 1, "Signal 11 caught"},  // the child's own file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.childSetup);
    testing::TempDir dir;
    const HostRun run = runHost({"fork-child-crash", dir.path(), c.childSetup});
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_TRUE(run.lines[0] == "child died by 11" ||
                (kSanitized && run.lines[0] == "child exited 1"))
        << run.lines[0];
    const auto files = crashFiles(dir.path() + "/Documents");
    EXPECT_EQ(files.size(), 1 + c.filesWithARecord);
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const auto& f) { return f.size > 0; }),
              static_cast<std::ptrdiff_t>(c.filesWithARecord));
    EXPECT_EQ(firstLineOf(importAtNextStart(dir.path())), c.imported);
  }
}

std::string writeCrashFile(const std::string& documents, const std::string& name,
                           const std::string& content, std::time_t modified = 0) {
  const std::string path = documents + "/" + name;
  std::ofstream(path, std::ios::binary) << content;
  if (modified != 0) {
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  return path;
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
    const std::string documents = dir.path() + "/Documents";
    const std::string legacy = writeCrashFile(documents, CrashFile::kLegacyFileName, content);

    Crashlytics::setup();
    EXPECT_EQ(stored(kCrashKey), content == complete ? "Signal 8 caught" : "earlier");
    EXPECT_FALSE(std::filesystem::exists(legacy));
    // What remains is this process's own crash file: empty and private.
    const auto files = crashFiles(documents);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 0u);
    EXPECT_EQ(std::filesystem::status(files[0].path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
}

TEST(CrashFileImport, TheNewestCrashWinsAndFilesOfLiveProcessesStay) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  const std::string documents = dir.path() + "/Documents";
  const auto record = [](int signal) {
    const std::string number = std::to_string(signal);
    return CrashFile::encode({"Signal " + number + " caught", Common::md5(number)});
  };
  const std::vector<std::string> gone = {
      writeCrashFile(documents, "tavrel_mmp_crash.101.a.rec", record(SIGBUS), 1'700'000'100),
      writeCrashFile(documents, "tavrel_mmp_crash.102.b.rec", record(SIGFPE), 1'700'000'300),
      writeCrashFile(documents, CrashFile::kLegacyFileName, record(SIGILL), 1'700'000'200),
  };
  // A live instance's file, newest of all: it holds the lock.
  const std::string live =
      writeCrashFile(documents, "tavrel_mmp_crash.103.c.rec", record(SIGABRT), 1'700'000'400);
  const int liveFd = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(liveFd, LOCK_EX), 0);

  Crashlytics::setup();
  EXPECT_EQ(stored(kCrashKey), "Signal 8 caught");
  EXPECT_EQ(stored(kHashKey), Common::md5("8"));
  for (const auto& path : gone) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  EXPECT_EQ(std::filesystem::file_size(live), record(SIGABRT).size());
  ::close(liveFd);
}

// The SQLite store, saying that writing failed until told otherwise.
class FlushFailingStore : public platform::PreferencesStore {
 public:
  explicit FlushFailingStore(const std::string& path)
      : inner_(platform::makeSqlitePreferencesStore(path)) {}
  std::optional<platform::PreferenceValue> value(const std::string& key) override {
    return inner_->value(key);
  }
  void setText(const std::string& key, const std::string& value) override {
    inner_->setText(key, value);
  }
  void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) override {
    inner_->setBytes(key, value);
  }
  void remove(const std::string& key) override { inner_->remove(key); }
  bool flush() override { return inner_->flush() && writable; }

  std::atomic<bool> writable{false};

 private:
  std::shared_ptr<platform::PreferencesStore> inner_;
};

TEST(CrashFileImport, AFileStaysUntilTheStoreHasWrittenItsRecord) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  auto store = std::make_shared<FlushFailingStore>(dir.path() + "/first.sqlite3");
  platform::installPreferencesStore(store);
  const std::string crashed =
      writeCrashFile(dir.path() + "/Documents", "tavrel_mmp_crash.101.a.rec",
                     CrashFile::encode({"Signal 7 caught", Common::md5("7")}));

  Crashlytics::setup();
  EXPECT_EQ(stored(kCrashKey), "Signal 7 caught");
  EXPECT_TRUE(std::filesystem::exists(crashed));
  // Another instance starting meanwhile leaves the file to this one: one crash counts once.
  EXPECT_EQ(runHost({"import", dir.path()}).lines, std::vector<std::string>{"imported="});
  EXPECT_TRUE(std::filesystem::exists(crashed));

  // The next write that the store confirms confirms the imported record too.
  store->writable = true;
  Crashlytics::recordError("E", "trace");
  EXPECT_FALSE(std::filesystem::exists(crashed));
}

using CrashUploadTest = testing::OfflineTest;

TEST_F(CrashUploadTest, AFaultIsSentWithItsFramesNamedAndOnlyA2xxEnvelopeClearsIt) {
  // A fault in the test host, imported by the next start.
  ASSERT_TRUE(runHost({"crash-segv-bare", dir_.path()}).status);
  Crashlytics::setup();
  const std::string recorded = stored(kCrashKey).value_or("");
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
    StorageHelper::shared().save(recorded, kCrashKey);
    StorageHelper::shared().save(Common::md5("11"), kHashKey);
    Crashlytics::check();
    const std::size_t index = transport_->count() - 1;
    const auto sent = transport_->at(index);
    EXPECT_EQ(sent.path() + " " + sent.json().value("platform", ""), "/partner/crash/log ios");
    EXPECT_EQ(sent.json()["hash"], Common::md5("11"));
    EXPECT_EQ(sent.header("Authorization"), "tok");
    // The host's own function by name, in the frame of its module with the build id.
    const std::string trace = sent.json()["stackTrace"];
    EXPECT_TRUE(trace.starts_with("Signal 11 caught\nFault address: 0x0 (code 1)\nThread: "))
        << trace;
    EXPECT_NE(trace.find("/test_host (BuildId: "), std::string::npos) << trace;
    EXPECT_NE(trace.find(") in tavrel_mmp::(anonymous namespace)::storeThroughNull(int)+0x"),
              std::string::npos)
        << trace;
    answer ? transport_->respond(index, *answer) : transport_->fail(index);
    EXPECT_EQ(stored(kCrashKey), cleared ? "" : trace);
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
