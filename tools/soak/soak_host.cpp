// tavrel_mmp_soak_host BASE_URL CA_FILE SENDER THREADS: a host application for the fault soak.
// Starts the library against the service at BASE_URL (trusting CA_FILE; its files under
// $XDG_DATA_HOME), names itself SENDER in the User-Agent of every request, and logs events from
// THREADS threads, every seventh a real-time one, until its standard input ends. After each
// logEvent call has returned it writes "logged TAG"; it then stays up, delivering, until killed.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "secret/secret_generator.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/tavrel_mmp.h"

namespace {

using namespace tavrel_mmp;

constexpr const char* kPartnerCode = "SOAK";
constexpr const char* kEventName = "soak";

// Names the host in every request it passes on, so the service can tell the senders apart.
class NamingTransport : public platform::HttpTransport {
 public:
  NamingTransport(std::shared_ptr<platform::HttpTransport> inner, std::string sender)
      : inner_(std::move(inner)), sender_(std::move(sender)) {}
  void send(platform::HttpRequest request, HttpCompletion completion) override {
    request.headers.emplace_back("User-Agent", sender_);
    inner_->send(std::move(request), std::move(completion));
  }

 private:
  std::shared_ptr<platform::HttpTransport> inner_;
  std::string sender_;
};

// One write per line, so lines from several threads never interleave.
void say(const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(STDOUT_FILENO, out.data(), out.size());
}

void logUntil(const std::atomic<bool>& stop, const std::string& sender, int thread) {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pause(10, 250);
  for (int seq = 0; !stop; ++seq) {
    const std::string tag = sender + "-t" + std::to_string(thread) + "-" + std::to_string(seq);
    Nimbrel::logEvent(kEventName, PropertyDictionary{{"tag", tag}, {"nbRealtime", seq % 7 == 0}});
    say("logged " + tag);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const std::string baseUrl = argv[1], sender = argv[3];
  const int threads = std::atoi(argv[4]);
  platform::installHttpTransport(std::make_shared<NamingTransport>(
      platform::makeCurlTransport({.caInfoPath = std::string(argv[2])}), sender));
  auto options = std::make_shared<NimbrelOptions>();
  options->autoTrackingScreen = false;
  Nimbrel::intSDK(kPartnerCode, tools::makeAppSecret(baseUrl, kPartnerCode), options);

  std::atomic<bool> stop{false};
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; ++t) loggers.emplace_back([&, t] { logUntil(stop, sender, t); });
  char ignored[256];
  while (::read(STDIN_FILENO, ignored, sizeof ignored) > 0) {
  }
  stop = true;
  for (std::thread& logger : loggers) logger.join();
  say("stopped");
  for (;;) ::pause();
}
