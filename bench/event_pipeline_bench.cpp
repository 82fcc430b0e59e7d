// Event pipeline costs, each against a baseline measured in the same run:
//   recording:  trackEvent vs a bare prepared INSERT with the store's connection settings;
//   latency:    the per-call distribution of logEvent through the public API, with the local
//               service up and with it down, vs the bare INSERT's (child processes);
//   start-up:   intSDK on the host's thread, first call of a process and a later one;
//   batch:      the local share of one batch (read 50, convert, delete) with 100,000 vs 1,000
//               pending events;
//   memory:     resident set of a process holding 100,000 vs 1,000 pending events.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracking_event.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/testing/manual_time.h"
#include "tools/local_service/local_service.h"
#include "tools/secret/secret_generator.h"

namespace {

using namespace tavrel_mmp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

const json kProperties = {{"price", 9.5}, {"currency", "USD"}, {"quantity", 3}};

std::string makeTempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tavrel_mmp_bench_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

std::string storePath(const std::string& dir) {
  return dir + "/Documents/tavrel_mmp_1.sqlite3";
}

void installPlatform(const std::string& dir) {
  std::filesystem::create_directories(dir + "/Documents");
  platform::installPreferencesStore(platform::makeSqlitePreferencesStore(dir + "/prefs.sqlite3"));
  platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(dir + "/Documents"));
  platform::installBundleInfo(platform::makeFixedBundleInfo("com.tavrel.bench", "1.0.0"));
}

// Requests go nowhere and are never answered.
class SwallowingTransport : public platform::HttpTransport {
 public:
  void send(platform::HttpRequest, HttpCompletion) override {}
};

// A connection set up the way the store sets up its own.
sqlite3* openLikeTheStore(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_busy_timeout(db, 5000);
  for (const char* sql :
       {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL",
        "CREATE TABLE IF NOT EXISTS \"EventData\" (\"id\" TEXT NOT NULL, \"key\" TEXT NOT NULL, "
        "\"time\" INTEGER NOT NULL, \"sessionId\" TEXT NOT NULL, \"realtime\" BOOLEAN NOT NULL, "
        "\"data\" TEXT NOT NULL, \"preEvent\" TEXT NOT NULL, PRIMARY KEY(\"id\"))",
        "CREATE INDEX IF NOT EXISTS \"EventData_time\" ON \"EventData\"(\"time\")"}) {
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  }
  return db;
}

// Older events than anything tracked now, written in one transaction.
void prefill(const std::string& path, std::int64_t count) {
  sqlite3* db = openLikeTheStore(path);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO \"EventData\" VALUES (?, 'purchase', ?, 's1', 0, ?, '')", -1,
                     &insert, nullptr);
  const std::string data = kProperties.dump();
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t stamp = 1'600'000'000'000 + i * 100;
    char id[48];
    std::snprintf(id, sizeof id, "%llx%llx", static_cast<unsigned long long>(stamp),
                  static_cast<unsigned long long>((i + 1) * 0x9E3779B97F4A7C15ull >> 1));
    sqlite3_bind_text(insert, 1, id, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 2, stamp / 1000);
    sqlite3_bind_text(insert, 3, data.c_str(), -1, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

// One prepared INSERT of a row shaped like the tracker's, on its own connection and file.
class BareInsert {
 public:
  explicit BareInsert(const std::string& path) : db_(openLikeTheStore(path)) {
    sqlite3_exec(db_, "DELETE FROM \"EventData\"", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db_,
                       "INSERT INTO \"EventData\" (\"id\", \"key\", \"time\", \"sessionId\", "
                       "\"realtime\", \"data\", \"preEvent\") VALUES (?, ?, ?, ?, ?, ?, ?)",
                       -1, &insert_, nullptr);
  }
  ~BareInsert() {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  bool operator()() {
    char id[40];
    std::snprintf(id, sizeof id, "18bcfe56bdb%llx", static_cast<unsigned long long>(++counter_));
    sqlite3_bind_text(insert_, 1, id, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, "purchase", -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert_, 3, 1'700'000'000);
    sqlite3_bind_text(insert_, 4, "s1", -1, SQLITE_STATIC);
    sqlite3_bind_int(insert_, 5, 0);
    sqlite3_bind_text(insert_, 6, data_.c_str(), static_cast<int>(data_.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert_, 7, "18bcfe56bdb5c1d4a7e93f0b2a1", -1, SQLITE_STATIC);
    const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
    sqlite3_reset(insert_);
    return ok;
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* insert_ = nullptr;
  std::string data_ = kProperties.dump();
  std::uint64_t counter_ = 0x5c1d4a7e93f0b2a1;
};

std::string workspace;  // the parent's documents, preferences and baseline file

void BM_TrackEvent(benchmark::State& state) {
  for (auto _ : state) TrackingEvent::trackEvent("purchase", kProperties);
  state.SetItemsProcessed(state.iterations());
}

void BM_BareInsert(benchmark::State& state) {
  BareInsert insert(workspace + "/baseline.sqlite3");
  for (auto _ : state) {
    if (!insert()) state.SkipWithError("insert failed");
  }
  state.SetItemsProcessed(state.iterations());
}

// The local share of one batch: read the oldest 50, build the upload shape, delete them.
void BM_StoreBatch(benchmark::State& state) {
  const std::string dir = makeTempDir();
  prefill(dir + "/batch.sqlite3", state.range(0));
  DatabaseHelper store(dir + "/batch.sqlite3");
  for (auto _ : state) {
    EventList batch = store.getEvents(TrackingEvent::batchSize).value_or(EventList{});
    benchmark::DoNotOptimize(EventData::convertToArray(batch, std::nullopt));
    store.removeEvents(batch);
  }
  std::filesystem::remove_all(dir);
}

struct Distribution {
  double median = 0, p99 = 0, p999 = 0, max = 0;  // microseconds
};

Distribution distributionOf(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
  };
  return {at(0.5), at(0.99), at(0.999), samples.back()};
}

// Times each call; with a pace, calls start that far apart, as a busy host's events would.
template <class Call>
std::vector<double> timeEach(int count, Call call,
                             std::chrono::microseconds pace = std::chrono::microseconds(0)) {
  std::vector<double> samples;
  samples.reserve(count);
  auto next = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (pace.count() > 0) std::this_thread::sleep_until(next += pace);
    const auto start = Clock::now();
    call(i);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return samples;
}

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Child: logEvent's per-call latency through the public API with the real main-loop thread and
// libcurl transport, against the local service (up) or a closed port (down), and the bare
// INSERT's in the same process. Prints the two distributions.
// The local service in a process of its own at background priority: it stands in for a
// machine elsewhere, so on a small test machine it must not take the cores from the host the
// way a real service never would. Returns its base URL; it ends when this process does.
std::string startServiceProcess(bool keepRunning) {
  int fds[2];
  if (::pipe(fds) != 0) return "";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::setpriority(PRIO_PROCESS, 0, 10);
    tools::LocalService service;
    if (!service.start()) std::_Exit(1);
    const std::string url = service.baseUrl() + "\n";
    (void)!::write(fds[1], url.data(), url.size());
    if (!keepRunning) service.stop();
    while (::getppid() != 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::_Exit(0);
  }
  ::close(fds[1]);
  std::string url;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') url.push_back(c);
  ::close(fds[0]);
  return url;
}

int latencyChild(bool serviceUp) {
  const std::string serviceUrl = startServiceProcess(serviceUp);
  if (serviceUrl.empty()) return 1;
  const std::string dir = makeTempDir();
  installPlatform(dir);
  const std::string secret = tools::makeAppSecret(serviceUrl, "BENCH");
  Nimbrel::intSDK("BENCH", secret, std::make_shared<NimbrelOptions>());
  if (serviceUp && !waitFor([] { return StorageHelper::shared().getAuthData().has_value(); })) {
    return 1;
  }
  constexpr int kWarmUp = 2'000, kMeasured = 20'000;
  constexpr std::chrono::microseconds kPace(0);
  timeEach(
      kWarmUp, [](int) { Nimbrel::logEvent("warm_up", kProperties); }, kPace);
  const auto logged = timeEach(
      kMeasured, [](int) { Nimbrel::logEvent("purchase", kProperties); }, kPace);
  BareInsert insert(dir + "/baseline.sqlite3");
  timeEach(
      kWarmUp, [&](int) { insert(); }, kPace);
  const auto inserted = timeEach(
      kMeasured, [&](int) { insert(); }, kPace);
  for (const auto& d : {distributionOf(logged), distributionOf(inserted)}) {
    std::printf("%.3f %.3f %.3f %.3f\n", d.median, d.p99, d.p999, d.max);
  }
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);  // the library's threads stay; nothing to tear down
}

// Child: intSDK on a fresh installation (first call of the process), then once more.
int startUpChild() {
  const std::string dir = makeTempDir();
  installPlatform(dir);
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  const std::string secret = tools::makeAppSecret("http://127.0.0.1:9", "BENCH");
  const auto options = std::make_shared<NimbrelOptions>();
  const auto first = timeEach(1, [&](int) { Nimbrel::intSDK("BENCH", secret, options); });
  const auto later = timeEach(1, [&](int) { Nimbrel::intSDK("BENCH", secret, options); });
  std::printf("%.3f %.3f\n", first[0], later[0]);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);
}

double residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0.0;
}

// Child: open the prepared store, run one batch, report the resident set.
int residentChild(const std::string& dir) {
  installPlatform(dir);
  auto clock = std::make_shared<testing::ManualClock>();
  auto loop = std::make_shared<testing::ManualMainLoop>(clock);
  platform::installClock(clock);
  platform::installMainLoop(loop);
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  TrackingEvent::trackEvent("probe", {});
  loop->runPending();
  loop->advance(TrackingEvent::timerPeriod);
  std::printf("%.3f\n", residentMiB());
  return 0;
}

// Runs this program with the arguments and reads the numbers it prints.
std::vector<double> runChild(const std::string& arguments) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<double> numbers;
  if (FILE* child = ::popen(("'" + exe + "' " + arguments).c_str(), "r")) {
    double value;
    while (std::fscanf(child, "%lf", &value) == 1) numbers.push_back(value);
    ::pclose(child);
  }
  return numbers;
}

double residentWithPending(std::int64_t pending) {
  const std::string dir = makeTempDir();
  std::filesystem::create_directories(dir + "/Documents");
  prefill(storePath(dir), pending);
  const auto numbers = runChild("--resident-child '" + dir + "'");
  std::filesystem::remove_all(dir);
  return numbers.empty() ? -1 : numbers[0];
}

// Median of every repeated benchmark, kept for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
      medians[key] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

double ratio(double a, double b) {
  return b > 0 ? a / b : 0.0;
}

}  // namespace

BENCHMARK(BM_TrackEvent)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->MinTime(0.3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BareInsert)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->MinTime(0.3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_StoreBatch)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(15)
    ->Repetitions(3)
    ->Unit(benchmark::kMicrosecond)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--resident-child") return residentChild(argv[2]);
  if (argc == 3 && std::string(argv[1]) == "--latency-child") {
    return latencyChild(std::string(argv[2]) == "up");
  }
  if (argc == 2 && std::string(argv[1]) == "--start-up-child") return startUpChild();

  const double resident1k = residentWithPending(1'000);
  const double resident100k = residentWithPending(100'000);
  const auto up = runChild("--latency-child up");
  const auto down = runChild("--latency-child down");
  std::vector<double> firstStart, laterStart;
  for (int i = 0; i < 7; ++i) {
    const auto times = runChild("--start-up-child");
    if (times.size() == 2) {
      firstStart.push_back(times[0]);
      laterStart.push_back(times[1]);
    }
  }

  benchmark::Initialize(&argc, argv);
  workspace = makeTempDir();
  installPlatform(workspace);
  // Recording alone: uploads are handed to a main loop that never runs.
  auto clock = std::make_shared<testing::ManualClock>();
  platform::installClock(clock);
  platform::installMainLoop(std::make_shared<testing::ManualMainLoop>(clock));
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const double track = reporter.medians["BM_TrackEvent"];
  const double insert = reporter.medians["BM_BareInsert"];
  std::printf("\n== event pipeline summary (medians) ==\n");
  std::printf("recording:  trackEvent %.2f us, bare INSERT %.2f us, ratio %.2f (target <= 2)\n",
              track, insert, ratio(track, insert));
  for (const auto& [name, numbers] : {std::pair{"up", up}, std::pair{"down", down}}) {
    if (numbers.size() != 8) {
      std::printf("latency (service %s): the child process failed\n", name);
      continue;
    }
    const double median = numbers[0];
    std::printf(
        "latency (service %s): logEvent median %.1f us, p99 %.1f us (%.1fx), p99.9 %.1f us "
        "(%.1fx), max %.0f us; bare INSERT median %.1f us (logEvent %.2fx)\n",
        name, median, numbers[1], ratio(numbers[1], median), numbers[2], ratio(numbers[2], median),
        numbers[3], numbers[4], ratio(median, numbers[4]));
  }
  std::printf(
      "            targets: p99 <= 3x median, p99.9 <= 10x median, median <= 1.3x INSERT\n");
  if (!firstStart.empty()) {
    std::sort(firstStart.begin(), firstStart.end());
    std::sort(laterStart.begin(), laterStart.end());
    std::printf(
        "start-up:   intSDK first call %.2f ms (median of %zu processes, max %.2f), later call "
        "%.2f ms (target <= 2 ms)\n",
        firstStart[firstStart.size() / 2] / 1000, firstStart.size(), firstStart.back() / 1000,
        laterStart[laterStart.size() / 2] / 1000);
  }
  const double store1k = reporter.medians["BM_StoreBatch/1000"];
  const double store100k = reporter.medians["BM_StoreBatch/100000"];
  std::printf("batch:      read 50, convert, delete: %.0f us vs %.0f us, ratio %.2f\n", store1k,
              store100k, ratio(store100k, store1k));
  std::printf(
      "memory:     VmRSS 1,000 pending %.1f MiB, 100,000 pending %.1f MiB, difference %.1f MiB\n",
      resident1k, resident100k, resident100k - resident1k);

  std::filesystem::remove_all(workspace);
  benchmark::Shutdown();
  return 0;
}
