#include "support/pipeline_fixture.h"

#include <filesystem>

#include "events/database_helper.h"
#include "events/tracking_event.h"
#include "session/session_manager.h"
#include "support/test_support.h"
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

void installCurlTransport() {
  static auto* curl = new std::shared_ptr<platform::HttpTransport>(platform::makeCurlTransport());
  platform::installHttpTransport(*curl);
}

void tickAndSettle(platform::ManualMainLoop& loop) {
  loop.advance(TrackingEvent::timerPeriod);
  waitUntil([] { return !TrackingEvent::isSyncing(); }, std::chrono::seconds(30));
}

void installTrackerUnderTest(std::shared_ptr<platform::ManualClock> clock,
                             std::shared_ptr<platform::ManualMainLoop> loop,
                             std::shared_ptr<platform::HttpTransport> transport) {
  static auto* dir = new TempDir();
  std::filesystem::remove(dir->path() + "/preferences.bin");
  installIsolatedPlatform(dir->path());
  platform::installClock(std::move(clock));
  platform::installMainLoop(std::move(loop));
  platform::installHttpTransport(std::move(transport));
  SessionManager::setBaseUrl("http://service.test");
  TrackingEvent::resetForTesting();
}

std::size_t pendingEventCount() {
  auto events = DatabaseHelper::shared().getEvents(1'000'000);
  return events ? events->size() : 0;
}

}  // namespace tavrel_mmp::testing
