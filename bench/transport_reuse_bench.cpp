// The cost of sending each request at most once, over loopback HTTPS to the local service. Three
// ways to post, each on one libcurl easy handle (its own connection pool):
//   unguarded: connections reused, curl free to send a request again (the baseline);
//   once:      connections reused, SendOnce guarding every request (the transport's way);
//   fresh:     no reuse at all, a new connection for every request.
// Measured: posts one after another, and the first post after an idle period, once shorter and
// once longer than the service's keep-alive (it closes a connection idle for 1 s, and any after
// 5 requests). Over a connection the service closed while idle, curl 7.88 sends the unguarded
// request once in vain before it connects afresh.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl/send_once.h"
#include "platform/library_thread.h"
#include "tools/local_service/local_service.h"
#include "tools/tls/self_signed_certificate.h"

namespace {

using namespace tavrel_mmp;
using Clock = std::chrono::steady_clock;

enum Way { kUnguarded, kOnce, kFresh };
const char* const kWayNames[] = {"unguarded", "once", "fresh"};

struct Service {
  std::string directory;
  std::string certificate;
  std::unique_ptr<tools::LocalService> service;
};
Service* service = nullptr;  // started in main, before the benchmarks

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

class Poster {
 public:
  explicit Poster(Way way) : way_(way), easy_(curl_easy_init()) {
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Expect:");
  }
  ~Poster() {
    curl_easy_cleanup(easy_);  // closes pooled connections through sockets_
    curl_slist_free_all(headers_);
  }

  bool post() {
    curl_easy_reset(easy_);
    curl_easy_setopt(easy_, CURLOPT_URL, (service->service->baseUrl() + kPath).c_str());
    curl_easy_setopt(easy_, CURLOPT_CAINFO, service->certificate.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
    curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_.data());
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &discard);
    if (way_ == kFresh) curl_easy_setopt(easy_, CURLOPT_FORBID_REUSE, 1L);
    if (way_ != kOnce) return curl_easy_perform(easy_) == CURLE_OK;
    platform::SendOnce guard(sockets_);
    if (guard.install(easy_) != CURLE_OK) return false;
    CURLcode code = curl_easy_perform(easy_);
    if (guard.foundStaleConnection() && guard.rearmOnFreshConnection() == CURLE_OK) {
      code = curl_easy_perform(easy_);
    }
    return code == CURLE_OK;
  }

 private:
  static constexpr const char* kPath = "/partner/online-user/log";
  const Way way_;
  platform::ConnectionSockets sockets_;
  CURL* easy_;
  curl_slist* headers_ = nullptr;
  // About the size of a small event batch.
  const std::string body_ = "{\"events\":\"" + std::string(1024, 'e') + "\"}";
};

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples.empty() ? 0.0 : samples[samples.size() / 2];
}

double threadCpuMicroseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// Medians per way: the wall time of a post, and the CPU time the posting thread spent on it
// (curl runs the whole post on it). The latter holds still when other processes take the cores.
struct Medians {
  std::array<double, 3> wall{};
  std::array<double, 3> cpu{};
};
std::map<std::int64_t, Medians> results;  // by idle milliseconds; 0: one post after another

// Each iteration idles, then lets the three ways post once each in a rotating order, so that
// the samples of the three meet the same machine load.
void BM_SideBySide(benchmark::State& state) {
  const auto idle = std::chrono::milliseconds(state.range(0));
  std::array<std::unique_ptr<Poster>, 3> posters;
  for (int way = kUnguarded; way <= kFresh; ++way) {
    posters[way] = std::make_unique<Poster>(static_cast<Way>(way));
    if (!posters[way]->post()) state.SkipWithError("a warm-up post failed");
  }
  std::array<std::vector<double>, 3> wall, cpu;
  std::size_t round = 0;
  for (auto _ : state) {
    if (idle.count() > 0) std::this_thread::sleep_for(idle);
    for (std::size_t i = 0; i < 3; ++i) {
      const std::size_t way = (round + i) % 3;
      const auto start = Clock::now();
      const double cpuStart = threadCpuMicroseconds();
      if (!posters[way]->post()) state.SkipWithError("a post failed");
      cpu[way].push_back(threadCpuMicroseconds() - cpuStart);
      wall[way].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.SetIterationTime(wall[kOnce].back() / 1e6);
    ++round;
  }
  Medians& medians = results[state.range(0)];
  for (int way = kUnguarded; way <= kFresh; ++way) {
    medians.wall[way] = median(wall[way]);
    medians.cpu[way] = median(cpu[way]);
    state.counters[std::string(kWayNames[way]) + "_us"] = medians.wall[way];
  }
}

}  // namespace

// idle_ms 0: posts one after another; 500: within the service's keep-alive; 3000: beyond it.
BENCHMARK(BM_SideBySide)->ArgName("idle_ms")->Arg(0)->UseManualTime()->Iterations(1500);
BENCHMARK(BM_SideBySide)->ArgName("idle_ms")->Arg(500)->UseManualTime()->Iterations(21);
BENCHMARK(BM_SideBySide)->ArgName("idle_ms")->Arg(3000)->UseManualTime()->Iterations(21);

int main(int argc, char** argv) {
  platform::ensureProcessSetup();
  char pattern[] = "/tmp/tavrel_mmp_transport_bench_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const auto files = tools::makeSelfSignedCertificate(pattern);
  if (!files) return 1;
  Service started{
      pattern, files->certificatePath,
      std::make_unique<tools::LocalService>(tools::LocalServiceOptions{
          .certificatePath = files->certificatePath, .privateKeyPath = files->privateKeyPath})};
  if (!started.service->start()) return 1;
  service = &started;

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();

  std::printf("\n== per-post cost against the unguarded baseline (loopback HTTPS, medians) ==\n");
  for (const auto& [idle, medians] : results) {
    const std::string what =
        idle == 0 ? "one after another:" : "first after " + std::to_string(idle) + " ms idle:";
    for (const auto& [kind, times] : {std::pair{"wall", medians.wall}, {"cpu", medians.cpu}}) {
      const double base = times[kUnguarded];
      std::printf("%-26s %-4s unguarded %6.0f us, once %6.0f us (%.2fx), fresh %6.0f us (%.2fx)\n",
                  what.c_str(), kind, base, times[kOnce], base > 0 ? times[kOnce] / base : 0.0,
                  times[kFresh], base > 0 ? times[kFresh] / base : 0.0);
    }
  }
  std::printf("requests received by the service: %zu\n", started.service->requests().size());

  started.service->stop();
  std::filesystem::remove_all(started.directory);
  benchmark::Shutdown();
  return 0;
}
