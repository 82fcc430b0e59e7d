#include "tavrel_mmp/platform/main_loop.h"

#include "platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

ProviderSlot<MainLoop>& slot() {
  static auto* s = new ProviderSlot<MainLoop>(&makeThreadMainLoop);
  return *s;
}

}  // namespace

MainLoop& mainLoop() {
  return slot().get();
}
void installMainLoop(std::shared_ptr<MainLoop> loop) {
  slot().install(std::move(loop));
}

}  // namespace tavrel_mmp::platform
