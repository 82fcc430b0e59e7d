#include "tavrel_mmp/platform/device_facts.h"

#include "core/no_destructor.h"
#include "platform/interface_addresses.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/linux_device_facts.h"

namespace tavrel_mmp::platform {
namespace {

std::shared_ptr<DeviceFacts> makeDefault() {
  return makeLinuxDeviceFacts();
}

ProviderSlot<DeviceFacts>& slot() {
  static NoDestructor<ProviderSlot<DeviceFacts>> s(&makeDefault);
  return s.get();
}

}  // namespace

// Facts a host supplies without addresses of their own still carry the machine's.
std::vector<InterfaceAddress> DeviceFacts::interfaceAddresses() {
  return systemInterfaceAddresses();
}

DeviceFacts& deviceFacts() {
  return slot().get();
}
void installDeviceFacts(std::shared_ptr<DeviceFacts> facts) {
  slot().install(std::move(facts));
}

}  // namespace tavrel_mmp::platform
