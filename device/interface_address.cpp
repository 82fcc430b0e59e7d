#include "core/utf8.h"
#include "device/device_info.h"
#include "tavrel_mmp/platform/device_facts.h"

namespace tavrel_mmp {

const char* rawValue(Network network) {
  return network == Network::cellular ? "pdp_ip0" : "en0";
}

std::optional<Network> networkFromRawValue(const std::string& rawValue) {
  if (rawValue == "en0") return Network::wifi;
  if (rawValue == "pdp_ip0") return Network::cellular;
  return std::nullopt;
}

std::optional<std::string> DeviceInfo::getIPAddress(Network network) {
  const std::string name = rawValue(network);
  std::optional<std::string> address;
  for (const platform::InterfaceAddress& entry : platform::deviceFacts().interfaceAddresses()) {
    if (entry.interfaceName == name) address = entry.numericAddress;  // the last match wins
  }
  if (!address) return std::nullopt;
  return toValidUtf8(*address);
}

}  // namespace tavrel_mmp
