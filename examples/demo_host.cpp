// A host application's journey against the local measurement service: start the service, make
// an app secret for it, start the library, log events, and show what the service received.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

#include <unistd.h>

#include "local_service/local_service.h"
#include "secret/secret_generator.h"
#include "tavrel_mmp/nimbrel.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace {

using tavrel_mmp::Nimbrel;
using tavrel_mmp::PropertyDictionary;
using tavrel_mmp::tools::LocalService;

void printRequest(const tavrel_mmp::tools::RecordedRequest& request) {
  std::cout << "\n>>> " << request.method << " " << request.path << "\n";
  for (const auto& [name, value] : request.headers) {
    if (name == "t" || name == "v" || name == "authorization" || name == "content-type" ||
        name == "platform") {
      std::cout << "    " << name << ": " << value << "\n";
    }
  }
  const auto json = request.json();
  std::cout << (json.is_null() ? request.body : json.dump(2)) << "\n";
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace

int main() {
  LocalService service;
  if (!service.start()) {
    std::cerr << "demo: the local measurement service could not start\n";
    return 1;
  }
  const std::string partnerCode = "DEMO_PARTNER";
  const std::string appSecret = tavrel_mmp::tools::makeAppSecret(service.baseUrl(), partnerCode);
  std::cout << "Local measurement service: " << service.baseUrl() << "\n"
            << "App secret for " << partnerCode << ": " << appSecret << "\n";

  // A fresh application sandbox for every run.
  const auto sandbox =
      std::filesystem::temp_directory_path() / ("tavrel_mmp_demo_" + std::to_string(::getpid()));
  std::filesystem::create_directories(sandbox / "Documents");
  tavrel_mmp::platform::installBundleInfo(
      tavrel_mmp::platform::makeFixedBundleInfo("com.tavrel.demo", "1.0.0"));
  tavrel_mmp::platform::installPreferencesStore(
      tavrel_mmp::platform::makeSqlitePreferencesStore((sandbox / "preferences.sqlite3").string()));
  tavrel_mmp::platform::installDocumentsDirectory(
      tavrel_mmp::platform::makeFixedDocumentsDirectory((sandbox / "Documents").string()));

  auto options = std::make_shared<tavrel_mmp::NimbrelOptions>();
  options->showLog = false;
  Nimbrel::intSDK(partnerCode, appSecret, options);
  if (!waitFor([&] { return service.grantedSessionCount() > 0; }, std::chrono::seconds(10))) {
    std::cerr << "demo: authentication was not granted\n";
    return 1;
  }
  std::cout << "Authenticated.\n";

  // Eleven host events: the tenth starts a batch, the real-time one goes at once, the rest
  // leaves with the next timer tick.
  for (int i = 1; i <= 10; ++i) {
    Nimbrel::logEvent("level_complete", PropertyDictionary{{"level", i}, {"score", 100.5 * i}});
  }
  Nimbrel::logEvent("purchase", PropertyDictionary{{"price", 9.5}, {"nbRealtime", true}});
  Nimbrel::logEvent("tutorial_skipped", std::nullopt);

  const bool delivered = service.waitForEvents(12, std::chrono::seconds(20));
  for (const auto& request : service.requests()) printRequest(request);
  std::cout << "\nEvents accepted by the service: " << service.acceptedEventCount()
            << " (repeated deliveries: " << service.duplicateEventCount() << ")\n";

  std::error_code ignored;
  std::filesystem::remove_all(sandbox, ignored);
  if (!delivered) {
    std::cerr << "demo: not every event arrived\n";
    return 1;
  }
  std::cout << "Demo journey complete.\n";
  return 0;
}
