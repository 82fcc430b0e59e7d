#include "tavrel_mmp/platform/ui_toolkit.h"

#include "core/no_destructor.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/headless_ui_toolkit.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp::platform {
namespace {

std::shared_ptr<UIToolkit> makeDefault() {
  return makeHeadlessUIToolkit();
}

ProviderSlot<UIToolkit>& slot() {
  static NoDestructor<ProviderSlot<UIToolkit>> s(&makeDefault);
  return s.get();
}

}  // namespace

HeadlessViewController::HeadlessViewController(std::string description)
    : description_(std::move(description)) {}

std::shared_ptr<ViewController> HeadlessViewController::presentedViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return presented_;
}

std::string HeadlessViewController::description() const {
  return description_;
}

void HeadlessViewController::present(std::shared_ptr<ViewController> controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  presented_ = std::move(controller);
}

std::shared_ptr<ViewController> HeadlessWindow::rootViewController() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return root_;
}

void HeadlessWindow::setRootViewController(std::shared_ptr<ViewController> controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  root_ = std::move(controller);
}

void HeadlessWindow::sendEvent(const UIEvent&) {}

std::shared_ptr<Window> HeadlessUIToolkit::keyWindow() {
  std::lock_guard<std::mutex> lock(mutex_);
  return keyWindow_;
}

void HeadlessUIToolkit::addDidBecomeActiveObserver(std::function<void()> handler) {
  if (!handler) return;
  std::lock_guard<std::mutex> lock(mutex_);
  observers_.push_back(std::make_shared<const std::function<void()>>(std::move(handler)));
}

void HeadlessUIToolkit::setKeyWindow(std::shared_ptr<Window> window) {
  std::lock_guard<std::mutex> lock(mutex_);
  keyWindow_ = std::move(window);
}

void HeadlessUIToolkit::becomeActive() {
  std::vector<std::shared_ptr<const std::function<void()>>> observers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    observers = observers_;
  }
  // Posted outside the lock: a handler may register further observers.
  for (auto& observer : observers) {
    mainLoop().post([observer] { (*observer)(); });
  }
}

std::shared_ptr<HeadlessUIToolkit> makeHeadlessUIToolkit() {
  return std::make_shared<HeadlessUIToolkit>();
}

UIToolkit& uiToolkit() {
  return slot().get();
}

void installUIToolkit(std::shared_ptr<UIToolkit> toolkit) {
  slot().install(std::move(toolkit));
}

}  // namespace tavrel_mmp::platform
