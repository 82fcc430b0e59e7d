#include "tavrel_mmp/detect_window_touch.h"

#include <charconv>
#include <string>

#include "core/logger.h"

namespace tavrel_mmp {
namespace {

// A coordinate as the toolkit prints it: shortest round-trip digits, whole numbers with ".0".
std::string coordinate(double value) {
  char text[64];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return "nan";
  std::string out(text, end);
  if (out.find_first_of(".eni") == std::string::npos) out += ".0";
  return out;
}

void logTouch(const platform::Touch& touch) {
  switch (touch.phase) {
    case platform::TouchPhase::began:
      Logger::debug("(" + coordinate(touch.location.x) + ", " + coordinate(touch.location.y) + ")");
      Logger::debug("Touch Began");
      break;
    case platform::TouchPhase::moved:
      Logger::debug("Touch Move");
      break;
    case platform::TouchPhase::ended:
      Logger::debug("Touch End");
      break;
    case platform::TouchPhase::cancelled:
      Logger::debug("Touch Cancelled");
      break;
    default:
      break;
  }
}

}  // namespace

DetectWindowTouch::DetectWindowTouch(std::shared_ptr<platform::Window> base)
    : base_(std::move(base)) {}

std::shared_ptr<platform::ViewController> DetectWindowTouch::rootViewController() const {
  return base_ ? base_->rootViewController() : nullptr;
}

void DetectWindowTouch::sendEvent(const platform::UIEvent& event) {
  if (Logger::devMode() && !event.allTouches.empty()) logTouch(event.allTouches.front());
  if (base_) base_->sendEvent(event);
}

}  // namespace tavrel_mmp
