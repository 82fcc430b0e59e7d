#include "tavrel_mmp/platform/ui_toolkit.h"

#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

// A process without a user interface: no key window, never activated.
class HeadlessUIToolkit : public UIToolkit {
 public:
  std::shared_ptr<Window> keyWindow() override { return nullptr; }
  void addDidBecomeActiveObserver(std::function<void()>) override {}
};

ProviderSlot<UIToolkit>& slot() {
  static auto* s = new ProviderSlot<UIToolkit>(&makeHeadlessUIToolkit);
  return *s;
}

}  // namespace

std::shared_ptr<UIToolkit> makeHeadlessUIToolkit() {
  return std::make_shared<HeadlessUIToolkit>();
}
UIToolkit& uiToolkit() {
  return slot().get();
}
void installUIToolkit(std::shared_ptr<UIToolkit> toolkit) {
  slot().install(std::move(toolkit));
}

}  // namespace tavrel_mmp::platform
