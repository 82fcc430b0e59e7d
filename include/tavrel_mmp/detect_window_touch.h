#pragma once

#include <memory>

#include "tavrel_mmp/platform/ui_toolkit.h"

namespace tavrel_mmp {

/// A window the host may use as its application window: in development mode it writes the
/// phase of each event's touch to the console, and it hands every event on to the window it
/// wraps unchanged.
class DetectWindowTouch : public platform::Window {
 public:
  explicit DetectWindowTouch(std::shared_ptr<platform::Window> base);

  std::shared_ptr<platform::ViewController> rootViewController() const override;
  void sendEvent(const platform::UIEvent& event) override;

 private:
  const std::shared_ptr<platform::Window> base_;
};

}  // namespace tavrel_mmp
