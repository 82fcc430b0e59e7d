#include "support/pipeline_fixture.h"

#include "events/database_helper.h"
#include "events/tracking_event.h"
#include "net/http_client.h"
#include "secret/secret_generator.h"
#include "tavrel_mmp/nimbrel.h"
#include "session/session_manager.h"
#include "session/storage_helper.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp::testing {

ManualTime installManualTime() {
  auto clock = std::make_shared<platform::ManualClock>(platform::makeSystemClock()->now());
  auto loop = std::make_shared<platform::ManualMainLoop>(clock);
  platform::installClock(clock);
  platform::installMainLoop(loop);
  return {clock, loop};
}

SettlingTransport::SettlingTransport(std::shared_ptr<platform::HttpTransport> inner)
    : inner_(std::move(inner)) {}

void SettlingTransport::send(platform::HttpRequest request, HttpCompletion completion) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++inFlight_;
  }
  inner_->send(std::move(request),
               [this, completion = std::move(completion)](auto body, auto error) {
                 if (completion) completion(std::move(body), std::move(error));
                 std::lock_guard<std::mutex> lock(mutex_);
                 if (--inFlight_ == 0) idle_.notify_all();
               });
}

bool SettlingTransport::waitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, timeout, [this] { return inFlight_ == 0; });
}

namespace {
std::shared_ptr<SettlingTransport>& curlHolder() {
  static auto* curl = new std::shared_ptr<SettlingTransport>(
      std::make_shared<SettlingTransport>(platform::makeCurlTransport()));
  return *curl;
}
}  // namespace

SettlingTransport& curlTransport() {
  return *curlHolder();
}

SettlingTransport& installCurlTransport() {
  platform::installHttpTransport(curlHolder());
  return *curlHolder();
}

void tickAndSettle(platform::ManualMainLoop& loop) {
  auto& transport = curlTransport();
  loop.runPending();
  transport.waitIdle();
  loop.advance(TrackingEvent::timerPeriod);
  transport.waitIdle();
}

void installTrackerUnderTest(const std::string& directory,
                             std::shared_ptr<platform::ManualClock> clock,
                             std::shared_ptr<platform::ManualMainLoop> loop,
                             std::shared_ptr<platform::HttpTransport> transport) {
  installIsolatedPlatform(directory);
  platform::installClock(std::move(clock));
  platform::installMainLoop(std::move(loop));
  platform::installHttpTransport(std::move(transport));
  SessionManager::setBaseUrl("http://service.test");
}

bool startAndAuthenticate(const std::string& partnerCode, const std::string& baseUrl) {
  Nimbrel::intSDK(partnerCode, tools::makeAppSecret(baseUrl, partnerCode),
                  std::make_shared<NimbrelOptions>());
  auto* manual = dynamic_cast<platform::ManualMainLoop*>(&platform::mainLoop());
  return waitUntil([&] {
           if (manual != nullptr) manual->runPending();
           const auto auth = StorageHelper::shared().getAuthData();
           return auth && auth->data;
         }) &&
         curlTransport().waitIdle();
}

bool signInWithoutSessionStart(const std::string& partnerCode) {
  StorageHelper::shared().savePartnerCode(partnerCode);
  const PropertyDictionary identity = {
      {"partnerCode", partnerCode},
      {"appId", platform::bundleInfo().bundleIdentifier().value_or("")},
      {"deviceId", StorageHelper::shared().getDeviceId()}};
  HttpClient::shared().post("/public/partner/auth", identity, [](auto body, auto) {
    if (body) StorageHelper::shared().saveAuthData(*body);
  });
  return waitUntil([] {
    const auto auth = StorageHelper::shared().getAuthData();
    return auth && auth->data;
  });
}

std::size_t pendingEventCount() {
  auto events = DatabaseHelper::shared().getEvents(1'000'000);
  return events ? events->size() : 0;
}

}  // namespace tavrel_mmp::testing
