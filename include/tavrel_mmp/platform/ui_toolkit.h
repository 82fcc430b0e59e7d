#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tavrel_mmp::platform {

class ViewController {
 public:
  virtual ~ViewController() = default;
  virtual std::shared_ptr<ViewController> presentedViewController() const = 0;
  virtual std::string description() const = 0;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual std::shared_ptr<ViewController> rootViewController() const = 0;
};

// The application's user interface as far as the library looks at it.
class UIToolkit {
 public:
  virtual ~UIToolkit() = default;
  virtual std::shared_ptr<Window> keyWindow() = 0;
  // The handler runs on the main thread each time the application becomes active.
  virtual void addDidBecomeActiveObserver(std::function<void()> handler) = 0;
};

UIToolkit& uiToolkit();
void installUIToolkit(std::shared_ptr<UIToolkit> toolkit);

// The Linux provider: a headless application with no key window and no activations.
std::shared_ptr<UIToolkit> makeHeadlessUIToolkit();

}  // namespace tavrel_mmp::platform
