#include "tavrel_mmp/platform/main_loop.h"

#include "core/no_destructor.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/thread_main_loop.h"

namespace tavrel_mmp::platform {
namespace {

ProviderSlot<MainLoop>& slot() {
  static NoDestructor<ProviderSlot<MainLoop>> s(&makeThreadMainLoop);
  return s.get();
}

}  // namespace

MainLoop& mainLoop() {
  return slot().get();
}
void installMainLoop(std::shared_ptr<MainLoop> loop) {
  slot().install(std::move(loop));
}

}  // namespace tavrel_mmp::platform
