// Event pipeline costs, each against a baseline measured in the same run:
//   recording: trackEvent vs a bare prepared INSERT with the store's connection settings;
//   threads:   eight recording threads vs one (events per second);
//   draining:  one batch to the local service with 100,000 vs 1,000 pending events;
//   memory:    resident set of a process holding 100,000 vs 1,000 pending events.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "events/database_helper.h"
#include "events/event_data.h"
#include "events/tracking_event.h"
#include "net/http_client.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/manual_loop.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tools/local_service/local_service.h"

namespace {

using namespace tavrel_mmp;
using nlohmann::json;

const json kProperties = {{"price", 9.5}, {"currency", "USD"}, {"quantity", 3}};
constexpr const char* kBundleId = "com.tavrel.bench";

std::string makeTempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tavrel_mmp_bench_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

std::string storePath(const std::string& dir) {
  return dir + "/Documents/tavrel_mmp_1.sqlite3";
}

// The timer is driven by hand, so every batch start is under the benchmark's control.
std::shared_ptr<platform::ManualClock> manualClock = std::make_shared<platform::ManualClock>();
std::shared_ptr<platform::ManualMainLoop> manualLoop =
    std::make_shared<platform::ManualMainLoop>(manualClock);

void installPlatform(const std::string& dir) {
  std::filesystem::create_directories(dir + "/Documents");
  platform::installPreferencesStore(
      platform::makeFilePreferencesStore({dir + "/preferences.bin", nullptr}));
  platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(dir + "/Documents"));
  platform::installBundleInfo(platform::makeFixedBundleInfo(kBundleId, "1.0.0"));
  platform::installClock(manualClock);
  platform::installMainLoop(manualLoop);
}

// Requests go nowhere and are never answered: the first batch stays in flight, so recording
// measures recording only.
class SwallowingTransport : public platform::HttpTransport {
 public:
  void send(platform::HttpRequest, HttpCompletion) override {}
};

// Counts event-upload completions after they have run (deletion included).
class CountingTransport : public platform::HttpTransport {
 public:
  explicit CountingTransport(std::shared_ptr<platform::HttpTransport> inner)
      : inner_(std::move(inner)) {}
  void send(platform::HttpRequest request, HttpCompletion completion) override {
    const bool upload = request.url.ends_with("/partner/event/log");
    inner_->send(std::move(request), [this, upload, completion](auto body, auto error) {
      completion(std::move(body), std::move(error));
      if (!upload) return;
      std::lock_guard<std::mutex> lock(mutex_);
      ++finished_;
      changed_.notify_all();
    });
  }
  int finished() {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }
  // Blocks without spinning, so the waiting thread leaves the cores to the transport.
  void waitPast(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_ > count; });
  }

 private:
  std::shared_ptr<platform::HttpTransport> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  int finished_ = 0;
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

void execute(const std::string& path, const std::string& sql) {
  sqlite3* db = openLikeTheStore(path);
  sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
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
    // Shaped like real identifiers: millisecond stamp, then a scrambled "random" part.
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
  // Start from a settled file, not from a large write-ahead log the first batch would pay for.
  sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
}

std::string workspace;  // the process's documents, preferences and baseline file

void clearStore() {
  execute(storePath(workspace), "DELETE FROM \"EventData\"");
}

void saveSession(const std::string& token) {
  const std::string answer =
      R"({"responseCode":200,"responseText":"OK","data":{"sessionId":"s1","token":")" + token +
      R"(","sessionExpireTimeInSeconds":3600}})";
  StorageHelper::shared().saveAuthData(std::vector<std::uint8_t>(answer.begin(), answer.end()));
}

void BM_TrackEvent(benchmark::State& state) {
  if (state.thread_index() == 0) {
    clearStore();
    TrackingEvent::resetForTesting();
  }
  for (auto _ : state) TrackingEvent::trackEvent("purchase", kProperties);
  state.SetItemsProcessed(state.iterations());
}

void BM_BareInsert(benchmark::State& state) {
  const std::string path = workspace + "/baseline.sqlite3";
  execute(path, "DELETE FROM \"EventData\"");
  sqlite3* db = openLikeTheStore(path);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO \"EventData\" (\"id\", \"key\", \"time\", \"sessionId\", "
                     "\"realtime\", \"data\", \"preEvent\") VALUES (?, ?, ?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  const std::string data = kProperties.dump();
  const std::string previous = "18bcfe56bdb5c1d4a7e93f0b2a1";
  std::uint64_t counter = 0x5c1d4a7e93f0b2a1;
  char id[40];
  for (auto _ : state) {
    std::snprintf(id, sizeof id, "18bcfe56bdb%llx", static_cast<unsigned long long>(++counter));
    sqlite3_bind_text(insert, 1, id, -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 2, "purchase", -1, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 3, 1'700'000'000);
    sqlite3_bind_text(insert, 4, "s1", -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 5, 0);
    sqlite3_bind_text(insert, 6, data.c_str(), static_cast<int>(data.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert, 7, previous.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<CountingTransport> countingTransport;
std::string serviceToken;

// Authenticates against the local service directly, without the session start that a full
// authentication would run (it would add events and requests of its own).
bool authenticate() {
  StorageHelper::shared().savePartnerCode("bench");
  json body = {{"partnerCode", "bench"},
               {"appId", kBundleId},
               {"deviceId", StorageHelper::shared().getDeviceId()}};
  std::atomic<bool> done{false};
  HttpClient::shared().post("/public/partner/auth", body, [&](auto reply, auto) {
    if (reply) {
      json answer = json::parse(reply->begin(), reply->end(), nullptr, false);
      if (answer.contains("data")) serviceToken = answer["data"].value("token", "");
    }
    done = true;
  });
  while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return !serviceToken.empty();
}

void BM_DrainBatch(benchmark::State& state) {
  platform::installHttpTransport(countingTransport);
  clearStore();
  prefill(storePath(workspace), state.range(0));
  TrackingEvent::resetForTesting();
  saveSession(serviceToken);
  TrackingEvent::trackEvent("drain", {});  // starts the timer
  manualLoop->runPending();
  for (auto _ : state) {
    const int before = countingTransport->finished();
    const auto start = std::chrono::steady_clock::now();
    manualLoop->advance(TrackingEvent::timerPeriod);  // one tick: one batch of 50
    countingTransport->waitPast(before);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  auto left = DatabaseHelper::shared().getEvents(1);
  if (!left || left->empty() || (*left)[0]->time == 1'600'000'000) {
    state.SkipWithError("batches were not accepted");
  }
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
}

// The local share of one batch: read the oldest 50, build the upload shape, delete them.
void BM_StoreBatch(benchmark::State& state) {
  clearStore();
  prefill(storePath(workspace), state.range(0));
  auto& store = DatabaseHelper::shared();
  for (auto _ : state) {
    EventList batch = store.getEvents(TrackingEvent::batchSize).value_or(EventList{});
    benchmark::DoNotOptimize(EventData::convertToArray(batch));
    store.removeEvents(batch);
  }
}

// Median of every repeated benchmark, kept for the closing summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
      if (!run.run_name.threads.empty()) key += "/" + run.run_name.threads;
      auto rate = run.counters.find("items_per_second");
      medians[key] = {run.GetAdjustedRealTime(),
                      rate == run.counters.end() ? 0.0 : double(rate->second)};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  struct Median {
    double time = 0;  // in the benchmark's own unit
    double itemsPerSecond = 0;
  };
  std::map<std::string, Median> medians;
};

double residentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0.0;
}

// Child process: open the prepared store, run one batch, report the resident set.
int residentChild(const std::string& dir) {
  installPlatform(dir);
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  SessionManager::setBaseUrl("http://127.0.0.1:9");
  TrackingEvent::trackEvent("probe", {});
  manualLoop->runPending();
  manualLoop->advance(TrackingEvent::timerPeriod);
  std::printf("%.3f\n", residentMiB());
  return 0;
}

double residentWithPending(const std::string& exe, std::int64_t pending) {
  const std::string dir = makeTempDir();
  std::filesystem::create_directories(dir + "/Documents");
  prefill(storePath(dir), pending);
  double mib = -1;
  if (FILE* child = ::popen(("'" + exe + "' --resident-child '" + dir + "'").c_str(), "r")) {
    if (std::fscanf(child, "%lf", &mib) != 1) mib = -1;
    ::pclose(child);
  }
  std::filesystem::remove_all(dir);
  return mib;
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
BENCHMARK(BM_TrackEvent)
    ->Name("BM_TrackEventThreads")
    ->Threads(1)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->MinTime(0.3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_DrainBatch)
    ->Arg(1000)
    ->Arg(100000)
    ->Iterations(15)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
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

  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const double resident1k = residentWithPending(exe, 1'000);
  const double resident100k = residentWithPending(exe, 100'000);

  benchmark::Initialize(&argc, argv);
  workspace = makeTempDir();
  installPlatform(workspace);
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  saveSession("tok");

  tools::LocalService local;
  if (!local.start()) return 1;
  SessionManager::setBaseUrl(local.baseUrl());
  countingTransport = std::make_shared<CountingTransport>(platform::makeCurlTransport());
  platform::installHttpTransport(countingTransport);
  const bool authenticated = authenticate();
  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  if (!authenticated) std::fprintf(stderr, "local service refused authentication\n");

  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const auto median = [&](const std::string& key) { return reporter.medians[key]; };
  const double track = median("BM_TrackEvent").time;
  const double insert = median("BM_BareInsert").time;
  const double one = median("BM_TrackEventThreads/threads:1").itemsPerSecond;
  const double eight = median("BM_TrackEventThreads/threads:8").itemsPerSecond;
  const double drain1k = median("BM_DrainBatch/1000").time;
  const double drain100k = median("BM_DrainBatch/100000").time;
  const double store1k = median("BM_StoreBatch/1000").time;
  const double store100k = median("BM_StoreBatch/100000").time;
  std::printf("\n== event pipeline summary (medians) ==\n");
  std::printf("recording:  trackEvent %.2f us, bare INSERT %.2f us, ratio %.2f (target <= 2)\n",
              track, insert, insert > 0 ? track / insert : 0.0);
  std::printf("threads:    1 thread %.0f ev/s, 8 threads %.0f ev/s, ratio %.2f\n", one, eight,
              one > 0 ? eight / one : 0.0);
  std::printf(
      "draining:   1,000 pending %.2f ms/batch, 100,000 pending %.2f ms/batch, "
      "ratio %.2f (target <= 1.5)\n",
      drain1k, drain100k, drain1k > 0 ? drain100k / drain1k : 0.0);
  std::printf("  local share (read 50, convert, delete): %.0f us vs %.0f us, ratio %.2f\n", store1k,
              store100k, store1k > 0 ? store100k / store1k : 0.0);
  std::printf(
      "memory:     VmRSS 1,000 pending %.1f MiB, 100,000 pending %.1f MiB, "
      "difference %.1f MiB\n",
      resident1k, resident100k, resident100k - resident1k);

  platform::installHttpTransport(std::make_shared<SwallowingTransport>());
  local.stop();
  std::filesystem::remove_all(workspace);
  benchmark::Shutdown();
  return 0;
}
