#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "autotrack/screen_tracking.h"
#include "core/logger.h"
#include "events/database_helper.h"
#include "support/fake_transport.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/detect_window_touch.h"
#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {
namespace {

using platform::HeadlessViewController;
using Screens = std::vector<std::string>;

std::shared_ptr<HeadlessViewController> controller(const std::string& description) {
  return std::make_shared<HeadlessViewController>(description);
}

// The shared event store opens once per process and stays open, so its folder lives until exit.
testing::TempDir& storeDirectory() {
  static testing::TempDir directory;
  return directory;
}

class ScreenTrackingTest : public ::testing::Test {
 public:
  void SetUp() override {
    auto time = testing::installManualTime();
    clock_ = time.clock;
    loop_ = time.loop;
    testing::installIsolatedPlatform(storeDirectory().path());
    platform::installHttpTransport(std::make_shared<testing::FakeTransport>());
    if (auto earlier = DatabaseHelper::shared().getEvents(1'000'000)) {
      DatabaseHelper::shared().removeEvents(*earlier);
    }
    platform::installUIToolkit(toolkit_);
    window_->setRootViewController(root_);
    toolkit_->setKeyWindow(window_);
  }

  // The application becomes active; returns the screens reported since the previous call.
  Screens activate() {
    toolkit_->becomeActive();
    loop_->runPending();
    return newScreens();
  }

  Screens newScreens() {
    Screens all;
    for (const auto& event : DatabaseHelper::shared().getEvents(1'000'000).value_or(EventList{})) {
      if (event->key != "tvr_mmp_screen_view") continue;
      const auto data = nlohmann::json::parse(event->data);
      EXPECT_EQ(data.size(), 1u) << event->data;
      all.push_back(data.value("screen_name", "<missing>"));
    }
    clock_->advance(1);  // keeps the store's time order equal to the reporting order
    Screens fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }

  std::shared_ptr<platform::ManualClock> clock_;
  std::shared_ptr<platform::ManualMainLoop> loop_;
  std::shared_ptr<platform::HeadlessUIToolkit> toolkit_ = platform::makeHeadlessUIToolkit();
  std::shared_ptr<platform::HeadlessWindow> window_ = std::make_shared<platform::HeadlessWindow>();
  std::shared_ptr<HeadlessViewController> root_ = controller("Root");
  std::size_t seen_ = 0;
};

TEST_F(ScreenTrackingTest, ActivationsReportTheTopmostScreenWhenItChanged) {
  struct Step {
    std::function<void(ScreenTrackingTest&)> change;
    Screens reported;
  };
  struct Scenario {
    const char* name;
    std::vector<Step> steps;
  };
  const auto none = [](ScreenTrackingTest&) {};
  const std::vector<Scenario> scenarios = {
      {"root taken as the starting point", {{none, {}}}},
      {"innermost of a presented chain",
       {{[](ScreenTrackingTest& t) {
           auto middle = controller("Middle");
           middle->present(controller("Inner"));
           t.root_->present(middle);
         },
         {"Inner"}}}},
      {"same object, then an equal-looking new one",
       {{[](ScreenTrackingTest& t) { t.root_->present(controller("Detail")); }, {"Detail"}},
        {none, {}},
        {[](ScreenTrackingTest& t) { t.root_->present(controller("Detail")); }, {"Detail"}}}},
      {"dismissed back to the root",
       {{[](ScreenTrackingTest& t) { t.root_->present(controller("Sheet")); }, {"Sheet"}},
        {[](ScreenTrackingTest& t) { t.root_->present(nullptr); }, {"Root"}}}},
      {"root removed, then a new root",
       {{[](ScreenTrackingTest& t) { t.window_->setRootViewController(nullptr); },
         {"Unknown Screen"}},
        {none, {}},
        {[](ScreenTrackingTest& t) { t.window_->setRootViewController(controller("Home")); },
         {"Home"}}}},
      {"no key window at an activation",
       {{[](ScreenTrackingTest& t) {
           t.toolkit_->setKeyWindow(nullptr);
           t.root_->present(controller("Hidden"));
         },
         {}},
        {[](ScreenTrackingTest& t) { t.toolkit_->setKeyWindow(t.window_); }, {"Hidden"}}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    root_ = controller("Root");
    window_->setRootViewController(root_);
    toolkit_->setKeyWindow(window_);
    startAutomaticScreenTracking();
    for (const Step& step : scenario.steps) {
      step.change(*this);
      EXPECT_EQ(activate(), step.reported);
    }
  }
}

TEST_F(ScreenTrackingTest, NoKeyWindowAtStartObservesNothing) {
  toolkit_->setKeyWindow(nullptr);
  startAutomaticScreenTracking();
  EXPECT_EQ(toolkit_->observerCount(), 0u);
  toolkit_->setKeyWindow(window_);
  root_->present(controller("Detail"));
  EXPECT_EQ(activate(), Screens{});
}

TEST_F(ScreenTrackingTest, ALaterStartReplacesTheObserver) {
  startAutomaticScreenTracking();
  startAutomaticScreenTracking();
  root_->present(controller("Detail"));
  EXPECT_EQ(activate(), Screens{"Detail"});

  // A start that finds no key window leaves the running observer in place.
  toolkit_->setKeyWindow(nullptr);
  startAutomaticScreenTracking();
  toolkit_->setKeyWindow(window_);
  root_->present(controller("Cart"));
  EXPECT_EQ(activate(), Screens{"Cart"});
}

TEST_F(ScreenTrackingTest, NamedScreenViewsAreNotDeduplicated) {
  trackScreenView("Checkout");
  trackScreenView("Checkout");
  trackScreenView("");
  EXPECT_EQ(newScreens(), (Screens{"Checkout", "Checkout", ""}));
}

TEST(DetectWindowTouchTest, LogsEachPhaseInDevelopmentModeAndForwardsEveryEvent) {
  using platform::TouchPhase;
  struct Case {
    std::vector<platform::Touch> touches;
    const char* logged;
  };
  const Case cases[] = {
      {{{TouchPhase::began, {12.5, 40}}}, "MMP: (12.5, 40.0)\nMMP: Touch Began\n"},
      {{{TouchPhase::moved, {13, 41}}}, "MMP: Touch Move\n"},
      {{{TouchPhase::ended, {13, 41}}, {TouchPhase::began, {1, 1}}}, "MMP: Touch End\n"},
      {{{TouchPhase::cancelled, {0, 0}}}, "MMP: Touch Cancelled\n"},
      {{{TouchPhase::stationary, {0, 0}}}, ""},
      {{}, ""},
  };
  auto base = std::make_shared<platform::HeadlessWindow>();
  auto root = controller("Root");
  base->setRootViewController(root);
  DetectWindowTouch window(base);
  EXPECT_EQ(window.rootViewController(), root);

  std::size_t sent = 0;
  for (const bool devMode : {true, false}) {
    Logger::setDevMode(devMode);
    for (const Case& c : cases) {
      const std::string out = testing::captureStdout([&] { window.sendEvent({c.touches}); });
      EXPECT_EQ(out, devMode ? c.logged : "");
      const auto received = base->receivedEvents();
      ASSERT_EQ(received.size(), ++sent);
      ASSERT_EQ(received.back().allTouches.size(), c.touches.size());
      for (std::size_t i = 0; i < c.touches.size(); ++i) {
        EXPECT_EQ(received.back().allTouches[i].phase, c.touches[i].phase);
      }
    }
  }
  Logger::setDevMode(false);
}

}  // namespace
}  // namespace tavrel_mmp
