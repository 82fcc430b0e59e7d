// The demo host: a phone application's journey against the local measurement service, over
// HTTPS. An earlier run of the app crashed; the app then starts in a fresh sandbox, receives a
// deferred and an opened deep link, moves between screens, shops, signs the user in, makes a
// tracking link and reports a handled error. The demo waits for the uploads and the first two
// heartbeats and shows what the service received; the service's live page shows it as it comes.
//   tavrel_mmp_demo                 the journey
//   tavrel_mmp_demo --stay          the journey, then the service (and its live page) stays up
//                                   until Ctrl-C
//   tavrel_mmp_demo --crash <dir>   the earlier run, in the sandbox <dir>: it crashes
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "tavrel_mmp/deep_link_builder.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/nimbrel_deep_link_delegate.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/curl_transport.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/headless_ui_toolkit.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/main_loop.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"
#include "tavrel_mmp/platform/ui_toolkit.h"
#include "tls/self_signed_certificate.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace tavrel_mmp;
using tools::LocalService;
using Controller = platform::HeadlessViewController;

constexpr const char* kPartnerCode = "DEMO_PARTNER";
constexpr const char* kDeferredDeepLink = "tavrel-demo://promo/spring";
constexpr const char* kOpenedDeepLink = "tavrel-demo://product/sku-1001?ref=push";
constexpr const char* kDeviceUpdatePath = "/partner/device-info/update";
constexpr const char* kHeartbeatPath = "/partner/online-user/log";
// Besides the events: the earlier crash and the handled error; the session start's device
// update and the profile's.
constexpr std::size_t kCrashReports = 2;
constexpr std::size_t kDeviceUpdates = 2;
constexpr auto kUploadTimeout = 60s;
// The first heartbeat leaves 30 s after the sync timer starts; each later one at the first tick
// of that 5-second timer once the interval the service answered has passed. The local service
// answers a short interval, a little under a tick, so the second follows at the next tick.
constexpr std::size_t kHeartbeats = 2;
constexpr std::int64_t kHeartbeatInterval = 4;
constexpr auto kHeartbeatTimeout = 60s;

// Lines come from the host's thread and from library threads (callbacks, completions).
void print(std::ostream& stream, const std::string& text) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  stream << text << std::flush;
}

void say(const std::string& line) {
  print(std::cout, line + "\n");
}

bool failed(const std::string& why) {
  print(std::cerr, "\ndemo failed: " + why + "\n");
  return false;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A private folder under the system's temporary directory, removed with everything in it.
class Sandbox {
 public:
  Sandbox() {
    std::error_code error;
    std::string pattern = (fs::temp_directory_path(error) / "tavrel_mmp_demo.XXXXXX").string();
    if (!error && ::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~Sandbox() {
    // The library's threads live on; a file one of them creates meanwhile needs another pass.
    std::error_code error;
    for (int attempt = 0; !path_.empty() && attempt < 20; ++attempt) {
      if (fs::remove_all(path_, error); !fs::exists(path_, error)) return;
      std::this_thread::sleep_for(50ms);
    }
  }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class PhoneFacts : public platform::DeviceFacts {
 public:
  std::optional<std::string> identifierForVendor() override {
    return "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  }
  std::string name() override { return "Anna's iPhone"; }
  std::string model() override { return "iPhone"; }
  std::string machine() override { return "iPhone14,5"; }
  std::string systemName() override { return "iOS"; }
  std::string systemVersion() override { return "17.4.1"; }
  platform::InterfaceIdiom interfaceIdiom() override { return platform::InterfaceIdiom::phone; }
  float batteryLevel() override { return 0.8f; }
  platform::BatteryState batteryState() override { return platform::BatteryState::unplugged; }
  std::optional<std::string> carrierName() override { return "Tavrel Mobile"; }
  std::vector<std::string> preferredLanguages() override { return {"en-US"}; }
  std::optional<std::string> regionCode() override { return "US"; }
  std::string timeZoneIdentifier() override { return "America/New_York"; }
};

// The app's user interface: a key window whose root is the home screen.
struct AppUI {
  std::shared_ptr<platform::HeadlessUIToolkit> toolkit = platform::makeHeadlessUIToolkit();
  std::shared_ptr<platform::HeadlessWindow> window = std::make_shared<platform::HeadlessWindow>();
  std::shared_ptr<Controller> home = std::make_shared<Controller>("HomeViewController");
};

// What a phone gives the app: preferences, documents, bundle, device and user interface.
AppUI installSandbox(const fs::path& directory) {
  fs::create_directories(directory / "Documents");
  platform::installPreferencesStore(
      platform::makeSqlitePreferencesStore((directory / "preferences.sqlite3").string()));
  platform::installDocumentsDirectory(
      platform::makeFixedDocumentsDirectory((directory / "Documents").string()));
  platform::installBundleInfo(platform::makeFixedBundleInfo("com.tavrel.demo", "1.4.2"));
  platform::installDeviceFacts(std::make_shared<PhoneFacts>());
  AppUI ui;
  ui.window->setRootViewController(ui.home);
  ui.toolkit->setKeyWindow(ui.window);
  platform::installUIToolkit(ui.toolkit);
  return ui;
}

int* volatile nullTarget = nullptr;  // opaque to the optimiser, so the write below stays

int crashAsAnEarlierRun(const fs::path& sandbox) {
  const rlimit noCoreFile{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCoreFile);
  installSandbox(sandbox);
  Nimbrel::intSDK("", "", nullptr);  // no partner code: crash capture only
  *nullTarget = 1;
  return 3;
}

bool runEarlierCrash(const fs::path& sandbox) {
  std::string self = "/proc/self/exe", flag = "--crash", where = sandbox.string();
  char* argv[] = {self.data(), flag.data(), where.data(), nullptr};
  pid_t pid = 0;
  if (const int error = ::posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ)) {
    return failed(std::string("cannot start the earlier run: ") + std::strerror(error));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
    return failed("the earlier run did not die by SIGSEGV (wait status " + std::to_string(status) +
                  ")");
  }
  say("  the app (pid " + std::to_string(pid) + ") died by signal " +
      std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")");
  return true;
}

std::unique_ptr<LocalService> startService(const fs::path& tlsDirectory) {
  fs::create_directories(tlsDirectory);
  const auto files = tools::makeSelfSignedCertificate(tlsDirectory.string());
  if (!files) {
    failed("cannot make a certificate for 127.0.0.1");
    return nullptr;
  }
  auto service = std::make_unique<LocalService>(tools::LocalServiceOptions{
      .certificatePath = files->certificatePath, .privateKeyPath = files->privateKeyPath});
  service->setHeartbeatData(nlohmann::json{{"second", kHeartbeatInterval}});
  if (!service->start()) {
    failed("the local measurement service cannot start");
    return nullptr;
  }
  platform::installHttpTransport(
      platform::makeCurlTransport({.caInfoPath = files->certificatePath}));
  say("  " + service->baseUrl() + ", with a self-signed certificate for 127.0.0.1 (EC P-256)");
  say("  the app's transport trusts exactly that certificate");
  say("  live page: " + service->baseUrl() + "/ (what arrives, and switches for its faults)");
  return service;
}

bool startApp(LocalService& service) {
  // Called on a library thread for the deferred link, on the host's for an opened one.
  auto received = std::make_shared<std::atomic<int>>(0);
  Nimbrel::handleDeeplink([received](const std::string& link) {
    say("  deep link callback <- " + link);
    ++*received;
  });
  // Called on a library thread once the service answered the authentication.
  Nimbrel::onSession([](const SessionOutcome& outcome) {
    say(outcome.accepted ? "  session callback <- accepted, session " + outcome.sessionId
                         : "  session callback <- refused: " + std::to_string(outcome.code) + " " +
                               outcome.text);
  });
  // On every event of the app's own from now on (and at later starts), under the event's values.
  Nimbrel::setGlobalProperties(PropertyDictionary{{"app_build", "2026.12"}, {"ab_group", "B"}});
  say("  setGlobalProperties({app_build: 2026.12, ab_group: B}): on each of the app's events");
  service.setVerifyData(PropertyDictionary{{"deeplink", kDeferredDeepLink}});
  const std::string appSecret = tools::makeAppSecret(service.baseUrl(), kPartnerCode);
  auto options = std::make_shared<NimbrelOptions>();
  options->showLog = false;
  options->autoTrackingScreen = true;
  say("  intSDK(\"" + std::string(kPartnerCode) + "\", \"" + appSecret.substr(0, 16) +
      "...\"): authenticates; the first open asks for a deferred deep link");
  Nimbrel::intSDK(kPartnerCode, appSecret, options);
  if (!waitUntil([&] { return *received > 0; }, 15s)) {
    return failed("no session, or no deferred deep link, within 15 s");
  }
  say("  authenticated (" + std::to_string(service.grantedSessionCount()) +
      " session); first open and session start recorded");
  return true;
}

// The app becomes active; returns once the main loop has handled that.
void activate(const AppUI& ui, const std::string& what) {
  ui.toolkit->becomeActive();
  auto handled = std::make_shared<std::promise<void>>();
  auto done = handled->get_future();
  platform::mainLoop().post([handled] { handled->set_value(); });
  done.wait_for(10s);
  say("  app active again on " + what);
}

// Each returns the number of events it recorded.
std::size_t visitScreens(const AppUI& ui) {
  const auto products = std::make_shared<Controller>("ProductListViewController");
  ui.home->present(products);
  activate(ui, "ProductListViewController: screen view");
  Nimbrel::setCurrentScreen("Spring promo banner");
  say("  setCurrentScreen(\"Spring promo banner\"): screen view");
  products->present(std::make_shared<Controller>("CheckoutViewController"));
  activate(ui, "CheckoutViewController, presented over it: screen view");
  ui.home->present(nullptr);
  activate(ui, "HomeViewController: screen view");
  activate(ui, "the same screen: nothing new");
  return 4;
}

std::size_t shop() {
  const auto shoes = std::make_shared<ProductItem>(
      "sku-1001", "Trail shoes", "https://cdn.tavrel.example/p/1001.jpg", "89.90", 1,
      ProductCategoryList{std::make_shared<ProductCategory>("c-12", "Shoes")});
  const auto socks = std::make_shared<ProductItem>(
      "sku-2002", "Running socks", "https://cdn.tavrel.example/p/2002.jpg", "9.95", 3);
  Nimbrel::setProductList("spring_sale", {shoes, socks});
  Nimbrel::setRevenue("order-7781", 119.75, "USD", PropertyDictionary{{"coupon", "SPRING10"}});
  say("  product list \"spring_sale\" (2 products); revenue: order-7781, 119.75 USD");
  return 2;
}

std::size_t play() {
  for (int level = 1; level <= 6; ++level) {
    Nimbrel::logEvent("level_complete",
                      PropertyDictionary{{"level", level}, {"score", 1200 * level}});
  }
  Nimbrel::logEvent("tutorial_skipped", std::nullopt);
  Nimbrel::logEvent("share_tapped", PropertyDictionary{{"channel", "messages"}});
  Nimbrel::logRealtimeEvent("subscription_started",
                            PropertyDictionary{{"plan", "yearly"}, {"price", 29.99}});
  say("  8 events (level_complete x6, tutorial_skipped, share_tapped), 1 real-time event");
  return 9;
}

// Sends one link request and waits for its completion.
std::shared_ptr<DeepLinkBuilderResult> requestLink(
    const std::string& what, const std::function<void(DeepLinkBuilder::Completion)>& request) {
  using Outcome =
      std::pair<std::shared_ptr<DeepLinkBuilderResult>, std::shared_ptr<DeepLinkBuilderError>>;
  auto outcome = std::make_shared<std::promise<Outcome>>();
  auto answered = outcome->get_future();
  request([outcome](auto result, auto error) { outcome->set_value({result, error}); });
  if (answered.wait_for(15s) != std::future_status::ready) {
    failed(what + ": no answer within 15 s");
    return nullptr;
  }
  const auto [result, error] = answered.get();
  if (!result) failed(what + ": error " + error->code + " " + error->message);
  return result;
}

bool makeTrackingLink() {
  DeepLinkBuilder builder;
  builder.iOSParameters = std::make_shared<DeepLinkIOSParameters>("com.tavrel.demo", "1234567890");
  builder.iOSParameters->customSchema = "tavrel-demo://";
  builder.androidParameters = std::make_shared<DeepLinkAndroidParameters>("com.tavrel.demo");
  builder.nimbrelParameters = std::make_shared<DeepLinkNimbrelParameters>(
      "newsletter", "SPRING10", "email", "spring_sale", "https://tavrel.example/spring");
  builder.nimbrelParameters->name = "Spring newsletter";
  const auto created = requestLink("create", [&](auto done) { builder.create(done); });
  if (!created) return false;
  say("  created: long link " + created->longLink + "\n           short link " +
      created->shortLink);
  const auto shortened = requestLink("shorten", [&](auto done) {
    builder.createShortLink(created->longLink, "Spring newsletter", "spring", done);
  });
  if (!shortened) return false;
  say("  shortened with the slug \"spring\": " + shortened->shortLink +
      (shortened->longLink == created->longLink ? " (to the long link above)" : ""));
  return true;
}

bool waitForUploads(const LocalService& service, std::size_t expectedEvents) {
  const bool inPlace = ::isatty(STDOUT_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  std::size_t shown = SIZE_MAX;
  for (;;) {
    const std::size_t received = service.acceptedEventCount();
    const bool done = received >= expectedEvents &&
                      service.crashReports().size() >= kCrashReports &&
                      service.requests(kDeviceUpdatePath).size() >= kDeviceUpdates;
    const auto waited = std::chrono::steady_clock::now() - start;
    const bool late = waited > kUploadTimeout;
    const std::string line =
        "  waiting for uploads: " + std::to_string(received) + "/" +
        std::to_string(expectedEvents) + " events received (" +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(waited).count()) + " s)";
    // On a terminal the line is redrawn in place; elsewhere a line per change.
    if (inPlace) print(std::cout, "\r" + line + (done || late ? "\n" : ""));
    if (!inPlace && (received != shown || late)) say(line);
    shown = received;
    if (done) return true;
    if (late) {
      return failed("not everything arrived within " + std::to_string(kUploadTimeout.count()) +
                    " s");
    }
    std::this_thread::sleep_for(200ms);
  }
}

std::string secondsText(std::chrono::steady_clock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
  return text;
}

// Waits for the first heartbeats, showing the time since the app started (intSDK) meanwhile.
bool waitForHeartbeats(const LocalService& service,
                       std::chrono::steady_clock::time_point appStarted) {
  const bool inPlace = ::isatty(STDOUT_FILENO) == 1;
  const auto start = std::chrono::steady_clock::now();
  std::size_t shownCount = SIZE_MAX;
  long shownTens = -1;
  for (;;) {
    const auto beats = service.requests(kHeartbeatPath);
    const bool done = beats.size() >= kHeartbeats;
    const auto now = std::chrono::steady_clock::now();
    const bool late = now - start > kHeartbeatTimeout;
    const std::string line = "  waiting for heartbeats: " + std::to_string(beats.size()) + "/" +
                             std::to_string(kHeartbeats) + " received, " +
                             secondsText(now - appStarted) + " since intSDK";
    // On a terminal the line is redrawn in place; elsewhere a line per heartbeat and per 10 s.
    const long tens = std::chrono::duration_cast<std::chrono::seconds>(now - start).count() / 10;
    if (inPlace) print(std::cout, "\r" + line + (done || late ? "\n" : ""));
    if (!inPlace && (beats.size() != shownCount || tens != shownTens || late)) {
      say(line);
      shownCount = beats.size();
      shownTens = tens;
    }
    if (done) {
      for (std::size_t i = 0; i < beats.size(); ++i) {
        say("  heartbeat " + std::to_string(i + 1) + " at " +
            secondsText(beats[i].receivedAt - appStarted) + " after intSDK" +
            (i == 0 ? ""
                    : " (" + secondsText(beats[i].receivedAt - beats[i - 1].receivedAt) +
                          " after the previous)"));
      }
      return true;
    }
    if (late) {
      return failed("no " + std::to_string(kHeartbeats) + " heartbeats within " +
                    std::to_string(kHeartbeatTimeout.count()) + " s");
    }
    std::this_thread::sleep_for(200ms);
  }
}

std::string textOf(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "?";
}

void printCounts(const std::string& title, const std::map<std::string, std::size_t>& counts) {
  say("  " + title);
  for (const auto& [name, count] : counts) {
    char row[128];
    std::snprintf(row, sizeof row, "    %-40s %5zu", name.c_str(), count);
    say(row);
  }
}

void printReport(const LocalService& service) {
  say("\nWhat the service received");
  std::map<std::string, std::size_t> paths, events;
  for (const auto& [path, totals] : service.requestTotals()) paths[path] = totals.count;
  for (const auto& [id, stored] : service.events()) ++events[textOf(stored.event, "key")];
  printCounts("requests per path", paths);
  printCounts("events by name", events);
  say("  links made");
  std::string previousLong;
  for (const auto& link : service.linksMade()) {
    const std::string longLink = textOf(link, "long_link");
    say("    short " + textOf(link, "short_link") + "\n    long  " +
        (longLink == previousLong ? "(the same as above)" : longLink));
    previousLong = longLink;
  }
  say("  crash reports");
  for (const auto& report : service.crashReports()) {
    const std::string trace = textOf(report, "stackTrace");
    say("    " + textOf(report, "hash") + "  " + trace.substr(0, trace.find('\n')));
  }
  say("  device updates");
  for (const auto& update : service.requests(kDeviceUpdatePath)) {
    const auto body = update.json();
    say("    deviceName \"" + textOf(body, "deviceName") + "\", userId \"" +
        textOf(body, "userId") + "\"");
  }
  std::string repeated;
  for (const auto& [id, stored] : service.events()) {
    if (stored.timesReceived > 1) repeated += " " + textOf(stored.event, "key") + " (" + id + ")";
  }
  say("  repeated deliveries: " + std::to_string(service.duplicateEventCount()) + repeated);
}

bool everythingArrived(const LocalService& service, std::size_t expectedEvents) {
  bool earlierCrash = false;
  for (const auto& report : service.crashReports()) {
    // Its first line; the frames follow.
    const std::string trace = textOf(report, "stackTrace");
    earlierCrash = earlierCrash || trace.substr(0, trace.find('\n')) == "Signal 11 caught";
  }
  if (!earlierCrash) return failed("the earlier run's crash was not reported");
  if (service.acceptedEventCount() != expectedEvents) {
    return failed(std::to_string(service.acceptedEventCount()) + " events arrived, " +
                  std::to_string(expectedEvents) + " expected");
  }
  if (service.duplicateEventCount() != 0) return failed("events were delivered more than once");
  for (const auto& [id, stored] : service.events()) {
    if (stored.event["key"] != "share_tapped") continue;
    const auto& data = stored.event["data"];
    const bool global = std::any_of(data.begin(), data.end(), [](const auto& entry) {
      return entry.value("key", "") == "ab_group" && entry.value("value", "") == "B";
    });
    if (!global) return failed("share_tapped arrived without the global properties");
  }
  if (service.requests(kHeartbeatPath).size() < kHeartbeats) return failed("heartbeats missing");
  return true;
}

// Until SIGINT or SIGTERM: the handler writes a byte to a pipe the host's thread waits on.
int interruptPipe[2] = {-1, -1};

void onInterrupt(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(interruptPipe[1], &byte, 1);
}

void stayUntilInterrupted(const LocalService& service) {
  if (::pipe2(interruptPipe, O_CLOEXEC) != 0) {
    failed(std::string("cannot wait for Ctrl-C: ") + std::strerror(errno));
    return;
  }
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  say("\nStaying up until Ctrl-C: live page " + service.baseUrl() + "/");
  say("  (its certificate was made for this run: the browser asks once to trust it; the app");
  say("  keeps running, so heartbeats and new batches keep arriving)");
  char byte = 0;
  while (::read(interruptPipe[0], &byte, 1) < 0 && errno == EINTR) {
  }
  say("  stopping");
}

// `complete` is called once everything arrived, before the service stays up (`stay`).
bool runJourney(const fs::path& sandbox, bool stay, const std::function<void()>& complete) {
  say("1. An earlier run of the app crashes");
  if (!runEarlierCrash(sandbox)) return false;
  const AppUI ui = installSandbox(sandbox);
  say("2. The local measurement service, over HTTPS");
  const auto service = startService(sandbox / "tls");
  if (!service) return false;

  say("3. The app starts on \"Anna's iPhone\" (sandbox " + sandbox.string() + ")");
  std::size_t events = 2;  // the session start's first open and start of session
  const auto appStarted = std::chrono::steady_clock::now();
  if (!startApp(*service)) return false;
  say("4. The system opens a deep link");
  NimbrelDeepLinkDelegate::shared().application(ui.toolkit, URL(kOpenedDeepLink),
                                                PropertyDictionary::object());
  say("5. Screens");
  events += visitScreens(ui);
  say("6. Shopping");
  events += shop();
  say("7. The user signs in");
  Nimbrel::setUserInfo(UserInfo::create("user-4711", "Anna Berg", "female", "anna@example.com",
                                        "+1 555 0100", 34, "US", "Boston", "fcm-token-demo"));
  say("  setUserInfo(user-4711): a device update carrying the profile");
  say("8. Playing");
  events += play();
  say("9. A tracking link");
  if (!makeTrackingLink()) return false;
  say("10. A handled error");
  Nimbrel::recordError("CheckoutError",
                       "CheckoutError: card declined\n  at CheckoutViewController.pay");
  say("  recordError(\"CheckoutError\"): uploaded at once");

  say("11. Uploads (batches leave on the library's 5-second timer)");
  bool arrived = waitForUploads(*service, events);
  say("12. Online presence: the first heartbeat 30 s after the sync timer starts; the service");
  say("    answers {\"second\": " + std::to_string(kHeartbeatInterval) +
      "}, so the next leaves at the timer's first tick after that");
  arrived = arrived && waitForHeartbeats(*service, appStarted);
  printReport(*service);
  platform::preferencesStore().flush();
  if (!arrived || !everythingArrived(*service, events)) return false;
  complete();
  if (stay) stayUntilInterrupted(*service);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--crash") return crashAsAnEarlierRun(argv[2]);
  const bool stay = argc == 2 && std::string(argv[1]) == "--stay";
  if (argc > 1 && !stay) {
    std::cerr << "usage: " << argv[0] << " [--stay]\n";
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  const auto complete = [started] {
    say("\nDemo journey complete in " + secondsText(std::chrono::steady_clock::now() - started) +
        ": everything the app produced reached the service.");
  };
  say("tavrel_mmp demo: a host application's journey against the local measurement service\n");
  bool passed = false;
  {
    const Sandbox sandbox;
    try {
      passed = !sandbox.path().empty() ? runJourney(sandbox.path(), stay, complete)
                                       : failed("cannot make a sandbox folder");
    } catch (const std::exception& error) {
      failed(error.what());
    }
  }
  return passed ? 0 : 1;
}
