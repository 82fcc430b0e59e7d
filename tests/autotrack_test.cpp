#include <gtest/gtest.h>

#include "autotrack/screen_tracking.h"
#include "events/database_helper.h"
#include "support/recording_ui.h"
#include "support/test_support.h"
#include "tavrel_mmp/platform/headless_ui_toolkit.h"
#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {
namespace {

using platform::HeadlessViewController;
using Screens = std::vector<std::string>;

std::shared_ptr<HeadlessViewController> controller(const std::string& description) {
  return std::make_shared<HeadlessViewController>(description);
}

class ScreenTrackingTest : public testing::OfflineTest {
 public:
  using Change = std::function<void(ScreenTrackingTest&)>;
  void SetUp() override {
    OfflineTest::SetUp();
    platform::installUIToolkit(toolkit_);
  }
  // A fresh root in the key window, and tracking started on it.
  void start() {
    window_->setRootViewController(root_ = controller("Root"));
    toolkit_->setKeyWindow(window_);
    startAutomaticScreenTracking();
  }
  // The application becomes active; gives the screens reported since the previous activation.
  Screens activate() {
    toolkit_->becomeActive();
    loop_->runPending();
    Screens all;
    for (const auto& event : DatabaseHelper::shared().getEvents(1000).value_or(EventList{})) {
      const auto data = nlohmann::json::parse(event->data);
      EXPECT_EQ(data.size(), 1u) << event->data;
      all.push_back(event->key == "tvr_mmp_screen_view" ? data.value("screen_name", "?") : "?");
    }
    clock_->advance(1);  // keeps the store's time order equal to the reporting order
    Screens fresh(all.begin() + static_cast<std::ptrdiff_t>(seen_), all.end());
    seen_ = all.size();
    return fresh;
  }
  // `chain` presented over the root, each over the one before (none: the root dismisses).
  static Change presents(const Screens& chain) {
    return [=](ScreenTrackingTest& t) {
      std::shared_ptr<HeadlessViewController> over = t.root_, top;
      if (chain.empty()) over->present(nullptr);
      for (const auto& name : chain) over->present(top = controller(name)), over = top;
    };
  }
  static Change rootBecomes(const std::string& name) {  // "": no root at all
    return [=](ScreenTrackingTest& t) {
      t.window_->setRootViewController(name.empty() ? nullptr : controller(name));
    };
  }
  static Change keyWindow(bool present) {
    return [=](ScreenTrackingTest& t) { t.toolkit_->setKeyWindow(present ? t.window_ : nullptr); };
  }

  std::shared_ptr<testing::CountingUIToolkit> toolkit_ =
      std::make_shared<testing::CountingUIToolkit>();
  std::shared_ptr<platform::HeadlessWindow> window_ = std::make_shared<platform::HeadlessWindow>();
  std::shared_ptr<HeadlessViewController> root_;
  std::size_t seen_ = 0;
};

TEST_F(ScreenTrackingTest, ActivationsReportTheTopmostScreenWhenItChanged) {
  const Change none = [](ScreenTrackingTest&) {};
  // Each scenario starts afresh: the changes before each activation, and what it reports.
  const std::vector<std::vector<std::pair<Change, Screens>>> scenarios = {
      {{none, {}}},                                  // the root is the starting point
      {{presents({"Middle", "Inner"}), {"Inner"}}},  // the innermost of a chain
      {{presents({"Detail"}), {"Detail"}}, {none, {}}, {presents({"Detail"}), {"Detail"}}},
      {{presents({"Sheet"}), {"Sheet"}}, {presents({}), {"Root"}}},
      {{rootBecomes(""), {"Unknown Screen"}}, {none, {}}, {rootBecomes("Home"), {"Home"}}},
      {{keyWindow(false), {}}, {presents({"Hidden"}), {}}, {keyWindow(true), {"Hidden"}}},
  };
  for (std::size_t i = 0; i < scenarios.size(); ++i) {
    start();
    for (const auto& [change, reported] : scenarios[i]) {
      change(*this);
      EXPECT_EQ(activate(), reported) << "scenario " << i;
    }
  }
  // A later start without a key window leaves the running observer in place.
  keyWindow(false)(*this);
  startAutomaticScreenTracking();
  keyWindow(true)(*this);
  presents({"Cart"})(*this);
  EXPECT_EQ(activate(), Screens{"Cart"});
  // Every start replaced the observer; none added an activation handler.
  EXPECT_EQ(toolkit_->observerCount(), 1u);
}

}  // namespace
}  // namespace tavrel_mmp
