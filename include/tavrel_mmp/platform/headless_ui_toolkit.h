#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp::platform {

/// A view controller whose presented controller is set by hand.
class HeadlessViewController : public ViewController {
 public:
  explicit HeadlessViewController(std::string description);
  std::shared_ptr<ViewController> presentedViewController() const override;
  std::string description() const override;
  /// Presents `controller` over this one (none dismisses what was presented).
  void present(std::shared_ptr<ViewController> controller);

 private:
  const std::string description_;
  mutable std::mutex mutex_;
  std::shared_ptr<ViewController> presented_;
};

/// A window with no views: its root is set by hand, and events sent to it reach nothing.
class HeadlessWindow : public Window {
 public:
  std::shared_ptr<ViewController> rootViewController() const override;
  void setRootViewController(std::shared_ptr<ViewController> controller);
  void sendEvent(const UIEvent& event) override;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<ViewController> root_;
};

/// The Linux provider: a headless application, with no key window until its host sets one and
/// activated only when its host says so.
class HeadlessUIToolkit : public UIToolkit {
 public:
  std::shared_ptr<Window> keyWindow() override;
  void addDidBecomeActiveObserver(std::function<void()> handler) override;

  void setKeyWindow(std::shared_ptr<Window> window);
  /// The application became active: every registered handler is posted to the main loop.
  void becomeActive();

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<Window> keyWindow_;
  std::vector<std::shared_ptr<const std::function<void()>>> observers_;
};

std::shared_ptr<HeadlessUIToolkit> makeHeadlessUIToolkit();

}  // namespace tavrel_mmp::platform
