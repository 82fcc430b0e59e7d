// tavrel_mmp_soak MINUTES [INSTALLATIONS]: the fault soak. Host installations (2 unless given),
// each one host process at a time logging from several threads, run against the local service
// over HTTPS for MINUTES while the service fails at random, restarts at random, and every host
// process is killed with SIGKILL at a random moment and started again on the same files. Then,
// the service healthy and the last processes no longer logging, it waits for everything to
// arrive and compares what the hosts logged with what the service stored, ending with
//   soak: logged L, delivered D, lost X, repeated R (kills K, service restarts S, faults F)
// It exits non-zero when an event is lost, a repeat is not explained by a kill, or a host
// process ended by itself.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "local_service/local_service.h"
#include "soak/host_process.h"
#include "soak/random_faults.h"
#include "soak/soak_verdict.h"
#include "tls/self_signed_certificate.h"

namespace tavrel_mmp::soak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kLoggingThreads = 3;
// After the last kill: how long the final processes get to deliver everything.
constexpr auto kDeliveryDeadline = 10min;

// What the host processes reported, from their output threads.
class Ledger {
 public:
  void onLine(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (line.starts_with("logged ")) logged_.insert(line.substr(7));
    if (line == "stopped") ++stopped_;
  }
  std::set<std::string> logged() {
    std::lock_guard lock(mutex_);
    return logged_;
  }
  int stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }

 private:
  std::mutex mutex_;
  std::set<std::string> logged_;
  int stopped_ = 0;
};

struct Installation {
  int index = 0;
  std::string directory;  // its XDG_DATA_HOME
  int run = 0;
  std::unique_ptr<HostProcess> host;
  Clock::time_point killAt;
};

class Soak {
 public:
  Soak(std::string work, std::string hostPath, int installations, unsigned seed)
      : work_(std::move(work)), hostPath_(std::move(hostPath)), random_(seed) {
    const auto certificate = tools::makeSelfSignedCertificate(work_);
    if (!certificate) throw std::runtime_error("no certificate");
    certificatePath_ = certificate->certificatePath;
    service_ = std::make_unique<tools::LocalService>(
        tools::LocalServiceOptions{.certificatePath = certificate->certificatePath,
                                   .privateKeyPath = certificate->privateKeyPath});
    if (!service_->start()) throw std::runtime_error("the local service does not start");
    for (int i = 0; i < installations; ++i) {
      installations_.push_back({.index = i, .directory = work_ + "/host" + std::to_string(i)});
      std::filesystem::create_directories(installations_.back().directory);
    }
  }

  int run(double minutes) {
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double, std::ratio<60>>(minutes));
    for (Installation& installation : installations_) startHost(installation);
    auto nextRestart = start + between(8s, 30s);
    auto nextFault = start + between(300ms, 3s);
    auto nextReport = start + 30s;
    while (Clock::now() < end) {
      const auto now = Clock::now();
      for (Installation& installation : installations_) {
        if (now >= installation.killAt) killAndRestart(installation);
      }
      if (now >= nextRestart) {
        restartService();
        nextRestart = Clock::now() + between(8s, 30s);
      }
      if (now >= nextFault) {
        changeFaultsAtRandom(*service_, random_);
        nextFault = now + between(300ms, 3s);
      }
      if (now >= nextReport) {
        report(now - start);
        nextReport = now + 30s;
      }
      std::this_thread::sleep_for(20ms);
    }
    return settle();
  }

 private:
  Clock::duration between(Clock::duration low, Clock::duration high) {
    return Clock::duration(
        std::uniform_int_distribution<Clock::rep>(low.count(), high.count())(random_));
  }

  void startHost(Installation& installation) {
    ++installation.run;
    installation.host = std::make_unique<HostProcess>(
        hostPath_,
        std::vector<std::string>{service_->baseUrl(), certificatePath_,
                                 senderName(installation.index, installation.run),
                                 std::to_string(kLoggingThreads)},
        std::vector<std::string>{"XDG_DATA_HOME=" + installation.directory},
        [this](const std::string& line) { ledger_.onLine(line); });
    installation.killAt = Clock::now() + between(1s, 12s);
  }

  // A process that ended before its kill crashed or gave up: the soak fails.
  void noteUnexpectedEnd(const Installation& installation, int status) {
    problems_.push_back(senderName(installation.index, installation.run) + " ended by itself (" +
                        (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                             : "exit " + std::to_string(WEXITSTATUS(status))) +
                        ")");
  }

  void killAndRestart(Installation& installation) {
    if (!installation.host->running()) noteUnexpectedEnd(installation, installation.host->end(0));
    installation.host->end(SIGKILL);
    killedAt_[senderName(installation.index, installation.run)] = Clock::now();
    ++kills_;
    std::this_thread::sleep_for(between(0ms, 500ms));
    startHost(installation);
  }

  void restartService() {
    service_->stop();
    std::this_thread::sleep_for(between(0ms, 2s));
    // The port it had may take a moment to be free again.
    while (!service_->start()) std::this_thread::sleep_for(100ms);
    ++restarts_;
  }

  std::size_t faults() const {
    std::size_t count = 0;
    for (const auto& [path, totals] : service_->requestTotals()) count += totals.faulted;
    return count;
  }

  std::set<std::string> deliveredTags() const {
    std::set<std::string> tags;
    for (const auto& [id, stored] : service_->events()) tags.insert(tagOf(stored.event));
    return tags;
  }

  void report(Clock::duration elapsed) {
    std::cout << "soak: " << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()
              << " s: logged " << ledger_.logged().size() << ", stored "
              << service_->acceptedEventCount() << ", kills " << kills_ << ", service restarts "
              << restarts_ << ", faults " << faults() << std::endl;
  }

  // The last processes stop logging against a healthy service; everything they and their
  // predecessors logged must arrive.
  int settle() {
    service_->clearAllFaults();
    std::cout << "soak: no more faults or kills; waiting for delivery" << std::endl;
    for (Installation& installation : installations_) installation.host->closeInput();
    const auto deadline = Clock::now() + kDeliveryDeadline;
    while (ledger_.stopped() < static_cast<int>(installations_.size()) && Clock::now() < deadline)
      std::this_thread::sleep_for(100ms);
    for (;;) {
      const std::set<std::string> logged = ledger_.logged(), delivered = deliveredTags();
      std::size_t missing = 0;
      for (const std::string& tag : logged) missing += delivered.count(tag) == 0;
      if (missing == 0 || Clock::now() >= deadline) break;
      std::this_thread::sleep_for(2s);
    }
    // Deletions land; a repeat that would still come has its chance to show.
    std::this_thread::sleep_for(6s);
    for (Installation& installation : installations_) {
      if (!installation.host->running()) noteUnexpectedEnd(installation, installation.host->end(0));
      installation.host->end(SIGTERM);
    }

    const Verdict verdict = judge(ledger_.logged(), service_->events(), killedAt_);
    for (const std::string& line : verdict.unexplained) std::cout << "soak: " << line << "\n";
    for (const std::string& line : problems_) std::cout << "soak: " << line << "\n";
    std::cout << "soak: logged " << verdict.logged << ", delivered " << verdict.delivered
              << ", lost " << verdict.lost << ", repeated " << verdict.repeated << " (kills "
              << kills_ << ", service restarts " << restarts_ << ", faults " << faults() << ")"
              << std::endl;
    return verdict.lost == 0 && verdict.unexplained.empty() && problems_.empty() ? 0 : 1;
  }

  const std::string work_;
  const std::string hostPath_;
  std::mt19937 random_;
  std::string certificatePath_;
  std::unique_ptr<tools::LocalService> service_;
  std::vector<Installation> installations_;
  Ledger ledger_;
  std::map<std::string, Instant> killedAt_;
  std::vector<std::string> problems_;
  int kills_ = 0;
  int restarts_ = 0;
};

}  // namespace
}  // namespace tavrel_mmp::soak

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 0.0;
  const int installations = argc > 2 ? std::atoi(argv[2]) : 2;
  if (minutes <= 0 || installations < 1) {
    std::cerr << "usage: " << argv[0] << " MINUTES [INSTALLATIONS]\n";
    return 2;
  }
  // The host program is built beside this one.
  const std::string hostPath =
      std::filesystem::read_symlink("/proc/self/exe").parent_path() / "tavrel_mmp_soak_host";
  std::string work = (std::filesystem::temp_directory_path() / "tavrel_mmp_soak_XXXXXX").string();
  if (::mkdtemp(work.data()) == nullptr) return 1;
  const unsigned seed = std::random_device{}();
  std::cout << "soak: " << minutes << " min, " << installations << " installations, seed " << seed
            << ", files in " << work << std::endl;
  int status = 1;
  try {
    status = tavrel_mmp::soak::Soak(work, hostPath, installations, seed).run(minutes);
  } catch (const std::exception& e) {
    std::cerr << "soak: " << e.what() << "\n";
  }
  // Kept for a look when the soak failed.
  if (status == 0) std::filesystem::remove_all(work);
  return status;
}
