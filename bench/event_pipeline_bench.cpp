// Event pipeline costs, each against a floor measured in the same process, in blocks of 100
// calls alternating with the library's, so that its background work and the machine's drift hit
// both alike (child processes, the real main-loop thread and libcurl transport):
//   latency:    logEvent on the host's thread with the local service up, down and flapping, vs a
//               bare prepared INSERT (WAL, NORMAL) and a write(2) append of a 200-byte line;
//   CPU:        the process's CPU time per event from logEvent until its row is in the file, vs
//               a bare INSERT's;
//   threads:    eight recording threads' total throughput vs one thread's;
//   drain:      the time from logEvent to its row in the file, median and p99;
//   start-up:   intSDK on the host's thread, first call of a fresh install and a later one;
//   memory:     RSS growth of a process from before intSDK to after it and 1,000 events; RSS with
//               100,000 vs 1,000 pending events;
//   batch:      the local share of one batch (read 50, convert, delete) with 100,000 vs 1,000
//               pending events.
#include <benchmark/benchmark.h>
#include <fcntl.h>
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/batch_processor.h"
#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracking_event.h"
#include "settings/storage_helper.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"
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

// Requests go nowhere and are never answered: each stays in flight (a batch among them, so no
// other starts).
class SwallowingTransport : public platform::HttpTransport {
 public:
  void send(platform::HttpRequest, HttpCompletion completion) override {
    std::lock_guard<std::mutex> lock(mutex_);
    held_.push_back(std::move(completion));
  }

 private:
  std::mutex mutex_;
  std::vector<HttpCompletion> held_;
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

// The local share of one batch: read the oldest 50, build the upload shape, delete them.
void BM_StoreBatch(benchmark::State& state) {
  const std::string dir = makeTempDir();
  prefill(dir + "/batch.sqlite3", state.range(0));
  DatabaseHelper store(dir + "/batch.sqlite3");
  for (auto _ : state) {
    EventList batch = store.getEvents(BatchProcessor::batchSize).value_or(EventList{});
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

// The local service in a process of its own at background priority: it stands in for a
// machine elsewhere, so on a small test machine it must not take the cores from the host the
// way a real service never would. "up", "down" (stopped once it has a port) or "flapping"
// (event uploads fail with 500 half of every second). Returns its base URL; it ends when this
// process does.
std::string startServiceProcess(const std::string& mode) {
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
    if (mode == "down") service.stop();
    for (bool failing = false; ::getppid() != 1; failing = !failing) {
      if (mode == "flapping" && failing) {
        service.setFault("/partner/event/log", {.kind = tools::Fault::Kind::responseCode});
      } else if (mode == "flapping") {
        service.clearAllFaults();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::_Exit(0);
  }
  ::close(fds[1]);
  std::string url;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') url.push_back(c);
  ::close(fds[0]);
  return url;
}

// A write(2) of a 200-byte line to a file opened O_APPEND: the floor of a record that survives
// the process's death.
class AppendFloor {
 public:
  explicit AppendFloor(const std::string& path)
      : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)) {}
  ~AppendFloor() { ::close(fd_); }
  void operator()() { (void)!::write(fd_, line_.data(), line_.size()); }

 private:
  int fd_;
  std::string line_ = std::string(199, 'x') + "\n";
};

// Starts the library as a host does, against the local service ("up", "down", "flapping"), or
// with a stored session and a transport that never answers ("quiet": recording and draining
// alone, each batch staying in flight); false when a service that is up never granted a
// session.
bool startLibrary(const std::string& dir, const std::string& mode) {
  installPlatform(dir);
  std::string serviceUrl = "http://127.0.0.1:9";
  if (mode == "quiet") {
    platform::installHttpTransport(std::make_shared<SwallowingTransport>());
    const std::string granted =
        R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s1","token":"t",)"
        R"("sessionExpireTimeInSeconds":3600}})";
    StorageHelper::shared().saveAuthData({granted.begin(), granted.end()});
  } else {
    serviceUrl = startServiceProcess(mode);
    if (serviceUrl.empty()) return false;
  }
  Nimbrel::intSDK("BENCH", tools::makeAppSecret(serviceUrl, "BENCH"),
                  std::make_shared<NimbrelOptions>());
  return mode != "up" || waitFor([] { return StorageHelper::shared().getAuthData().has_value(); });
}

// Rows written to the store's file (none are deleted where it is used), read through a
// connection of its own; cheap however many rows there are, so that waiting costs little CPU.
class RowCounter {
 public:
  explicit RowCounter(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db_, "SELECT coalesce(max(rowid), 0) FROM \"EventData\"", -1, &count_,
                       nullptr);
  }
  ~RowCounter() {
    sqlite3_finalize(count_);
    sqlite3_close(db_);
  }
  std::int64_t operator()() {
    std::int64_t rows = -1;
    if (sqlite3_step(count_) == SQLITE_ROW) rows = sqlite3_column_int64(count_, 0);
    sqlite3_reset(count_);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* count_ = nullptr;
};

double cpuMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

void printDistribution(const std::vector<double>& samples) {
  const Distribution d = distributionOf(samples);
  std::printf("%.3f %.3f %.3f %.3f\n", d.median, d.p99, d.p999, d.max);
}

// Child: per-call latency of logEvent, a bare INSERT and a write(2) append, in alternating blocks
// of 100 calls. Prints the three distributions.
int latencyChild(const std::string& mode) {
  const std::string dir = makeTempDir();
  if (!startLibrary(dir, mode)) return 1;
  BareInsert insert(dir + "/baseline.sqlite3");
  AppendFloor append(dir + "/baseline.log");
  std::vector<double> logged, inserted, appended;
  constexpr int kBlocks = 220, kWarmUpBlocks = 20, kBlock = 100;
  for (int block = 0; block < kBlocks; ++block) {
    auto l = timeEach(kBlock, [](int) { Nimbrel::logEvent("purchase", kProperties); });
    auto i = timeEach(kBlock, [&](int) { insert(); });
    auto a = timeEach(kBlock, [&](int) { append(); });
    if (block < kWarmUpBlocks) continue;
    logged.insert(logged.end(), l.begin(), l.end());
    inserted.insert(inserted.end(), i.begin(), i.end());
    appended.insert(appended.end(), a.begin(), a.end());
  }
  for (const auto* samples : {&logged, &inserted, &appended}) printDistribution(*samples);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);  // the library's threads stay; nothing to tear down
}

// Child: the process's CPU time per event from logEvent until the rows are in the file (uploads
// left out), and per bare INSERT, in alternating blocks. Then the time from
// logEvent to its row (paced, one every 2 ms). Prints "cpu_library cpu_insert", then the drain
// latency distribution.
int cpuAndDrainChild() {
  const std::string dir = makeTempDir();
  if (!startLibrary(dir, "quiet")) return 1;
  BareInsert insert(dir + "/baseline.sqlite3");
  Nimbrel::logEvent("warm_up", kProperties);
  if (!waitFor([&] { return RowCounter(storePath(dir))() > 0; })) return 1;
  RowCounter rows(storePath(dir));
  double library = 0, bare = 0;
  std::int64_t expected = rows();
  constexpr int kBlocks = 50, kBlock = 100;
  for (int block = 0; block < kBlocks; ++block) {
    double start = cpuMicroseconds();
    for (int i = 0; i < kBlock; ++i) Nimbrel::logEvent("purchase", kProperties);
    expected += kBlock;
    // Waits off the CPU until the drain has put them in the file.
    while (rows() < expected) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    library += cpuMicroseconds() - start;
    start = cpuMicroseconds();
    for (int i = 0; i < kBlock; ++i) insert();
    bare += cpuMicroseconds() - start;
  }
  std::printf("%.3f %.3f\n", library / (kBlocks * kBlock), bare / (kBlocks * kBlock));
  std::vector<double> latencies;
  for (int i = 0; i < 300; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const auto start = Clock::now();
    Nimbrel::logEvent("purchase", kProperties);
    ++expected;
    while (rows() < expected) std::this_thread::sleep_for(std::chrono::microseconds(50));
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  printDistribution(latencies);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);
}

// Child: events per second recorded by `threads` threads at once, 4,000 each.
int throughputChild(int threads) {
  const std::string dir = makeTempDir();
  if (!startLibrary(dir, "quiet")) return 1;
  constexpr int kEach = 4'000;
  const auto start = Clock::now();
  std::vector<std::thread> recorders;
  for (int t = 0; t < threads; ++t) {
    recorders.emplace_back([] {
      for (int i = 0; i < kEach; ++i) Nimbrel::logEvent("purchase", kProperties);
    });
  }
  for (auto& recorder : recorders) recorder.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%.1f\n", threads * kEach / seconds);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);
}

double residentMiB(const char* field = "VmRSS:");

// Child: RSS just before intSDK, and after it and 1,000 events are in the file; then the same
// for its anonymous part (what the process holds of its own, without the shared libraries' pages
// it touched).
int residentGrowthChild() {
  const std::string dir = makeTempDir();
  const double before = residentMiB();
  const double anonymousBefore = residentMiB("RssAnon:");
  if (!startLibrary(dir, "up")) return 1;
  for (int i = 0; i < 1'000; ++i) Nimbrel::logEvent("purchase", kProperties);
  if (!waitFor([&] { return RowCounter(storePath(dir))() >= 1'000; })) return 1;
  std::printf("%.3f %.3f %.3f %.3f\n", before, residentMiB(), anonymousBefore,
              residentMiB("RssAnon:"));
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
  std::_Exit(0);
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

// A field of /proc/self/status, in MiB.
double residentMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string name = field;
  while (std::getline(status, line)) {
    if (line.rfind(name, 0) == 0) return std::stod(line.substr(name.size())) / 1024.0;
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

BENCHMARK(BM_StoreBatch)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(15)
    ->Repetitions(3)
    ->Unit(benchmark::kMicrosecond)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc == 3 && mode == "--resident-child") return residentChild(argv[2]);
  if (argc == 3 && mode == "--latency-child") return latencyChild(argv[2]);
  if (argc == 3 && mode == "--throughput-child") return throughputChild(std::atoi(argv[2]));
  if (mode == "--cpu-child") return cpuAndDrainChild();
  if (mode == "--growth-child") return residentGrowthChild();
  if (mode == "--start-up-child") return startUpChild();

  // First, while no earlier child's writes wait for the disk: a fresh installation's first call
  // syncs its claim to the preferences file, and a sync behind others' pending writes measures
  // the disk's queue rather than the library.
  std::vector<double> firstStart, laterStart;
  for (int i = 0; i < 7; ++i) {
    const auto times = runChild("--start-up-child");
    if (times.size() == 2) {
      firstStart.push_back(times[0]);
      laterStart.push_back(times[1]);
    }
  }
  std::map<std::string, std::vector<double>> latency;
  for (const char* service : {"up", "down", "flapping"}) {
    latency[service] = runChild(std::string("--latency-child ") + service);
  }
  const auto cpu = runChild("--cpu-child");
  const auto one = runChild("--throughput-child 1");
  const auto eight = runChild("--throughput-child 8");
  const auto growth = runChild("--growth-child");
  const double resident1k = residentWithPending(1'000);
  const double resident100k = residentWithPending(100'000);

  benchmark::Initialize(&argc, argv);
  const std::string workspace = makeTempDir();
  installPlatform(workspace);
  auto clock = std::make_shared<testing::ManualClock>();
  platform::installClock(clock);
  platform::installMainLoop(std::make_shared<testing::ManualMainLoop>(clock));
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n== event pipeline summary ==\n");
  for (const auto& [service, numbers] : latency) {
    if (numbers.size() != 12) {
      std::printf("latency (service %s): the child process failed\n", service.c_str());
      continue;
    }
    const double insertMedian = numbers[4], insertP99 = numbers[5];
    std::printf(
        "latency (service %s): logEvent median %.2f us (%.3fx INSERT median, target <= 0.15), "
        "p99 %.2f us (%.2fx INSERT median, target <= 1), p99.9 %.1f us (%.2fx INSERT p99, target "
        "<= 1), max %.0f us; bare INSERT median %.2f p99 %.2f p99.9 %.1f us; write(2) append "
        "median %.2f p99 %.2f p99.9 %.1f us\n",
        service.c_str(), numbers[0], ratio(numbers[0], insertMedian), numbers[1],
        ratio(numbers[1], insertMedian), numbers[2], ratio(numbers[2], insertP99), numbers[3],
        insertMedian, insertP99, numbers[6], numbers[8], numbers[9], numbers[10]);
  }
  if (cpu.size() == 6) {
    std::printf(
        "CPU:        %.2f us per event until in the file, bare INSERT %.2f us, ratio %.2f "
        "(target <= 0.6)\n",
        cpu[0], cpu[1], ratio(cpu[0], cpu[1]));
    std::printf("drain:      logEvent to its row: median %.0f us, p99 %.0f us, max %.0f us\n",
                cpu[2], cpu[3], cpu[5]);
  }
  if (one.size() == 1 && eight.size() == 1) {
    std::printf(
        "threads:    8 threads %.0f events/s, 1 thread %.0f events/s, ratio %.2f (target >= "
        "1)\n",
        eight[0], one[0], ratio(eight[0], one[0]));
  }
  if (growth.size() == 4) {
    std::printf(
        "memory:     RSS %.1f MiB before intSDK, %.1f MiB after it and 1,000 events: +%.1f MiB "
        "(target <= 3), of which anonymous +%.1f MiB (the rest: shared libraries' pages)\n",
        growth[0], growth[1], growth[1] - growth[0], growth[3] - growth[2]);
  }
  std::printf(
      "            RSS with 1,000 pending %.1f MiB, 100,000 pending %.1f MiB, difference %.1f "
      "MiB\n",
      resident1k, resident100k, resident100k - resident1k);
  if (!firstStart.empty()) {
    std::sort(firstStart.begin(), firstStart.end());
    std::sort(laterStart.begin(), laterStart.end());
    std::printf(
        "start-up:   intSDK first call %.2f ms (median of %zu processes, max %.2f; target <= 2), "
        "later call %.3f ms (target <= 0.1)\n",
        firstStart[firstStart.size() / 2] / 1000, firstStart.size(), firstStart.back() / 1000,
        laterStart[laterStart.size() / 2] / 1000);
  }
  const double store1k = reporter.medians["BM_StoreBatch/1000"];
  const double store100k = reporter.medians["BM_StoreBatch/100000"];
  std::printf("batch:      read 50, convert, delete: %.0f us vs %.0f us, ratio %.2f\n", store1k,
              store100k, ratio(store100k, store1k));

  std::filesystem::remove_all(workspace);
  benchmark::Shutdown();
  return 0;
}
