#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tavrel_mmp::platform {

class ViewController {
 public:
  virtual ~ViewController() = default;
  virtual std::shared_ptr<ViewController> presentedViewController() const = 0;
  virtual std::string description() const = 0;
};

enum class TouchPhase { began, moved, stationary, ended, cancelled };

struct Point {
  double x = 0;
  double y = 0;
};

struct Touch {
  TouchPhase phase = TouchPhase::began;
  Point location;  ///< in the coordinates of the window the event is sent to
};

/// One input event as the toolkit dispatches it to a window.
struct UIEvent {
  std::vector<Touch> allTouches;
};

class Window {
 public:
  virtual ~Window() = default;
  virtual std::shared_ptr<ViewController> rootViewController() const = 0;
  /// Dispatches the event to the window's views.
  virtual void sendEvent(const UIEvent& event) = 0;
};

/// The application's user interface as far as the library looks at it.
class UIToolkit {
 public:
  virtual ~UIToolkit() = default;
  virtual std::shared_ptr<Window> keyWindow() = 0;
  /// The handler runs on the main thread each time the application becomes active.
  virtual void addDidBecomeActiveObserver(std::function<void()> handler) = 0;
};

UIToolkit& uiToolkit();
void installUIToolkit(std::shared_ptr<UIToolkit> toolkit);

}  // namespace tavrel_mmp::platform
