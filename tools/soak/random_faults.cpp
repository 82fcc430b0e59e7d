#include "soak/random_faults.h"

#include <array>

namespace tavrel_mmp::soak {

void changeFaultsAtRandom(tools::LocalService& service, std::mt19937& random) {
  using Kind = tools::Fault::Kind;
  auto below = [&](int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random); };
  if (below(3) == 0) return service.clearAllFaults();
  static constexpr std::array<const char*, 6> kPaths = {
      "/partner/event/log",   "/partner/event/log",       "/partner/event/log",
      "/public/partner/auth", "/partner/online-user/log", "/partner/device-info/update"};
  static constexpr std::array<Kind, 5> kKinds = {Kind::responseCode, Kind::notJson,
                                                 Kind::closeConnection, Kind::closeWithoutAnswer,
                                                 Kind::delay};
  static constexpr std::array<int, 3> kStatuses = {500, 502, 503};
  tools::Fault fault;
  fault.kind = kKinds[below(kKinds.size())];
  fault.httpStatus = kStatuses[below(kStatuses.size())];
  fault.responseCode = 500;
  fault.delaySeconds = std::uniform_real_distribution<double>(0.1, 3.0)(random);
  fault.times = below(2) == 0 ? -1 : 1 + below(5);
  service.setFault(kPaths[below(kPaths.size())], fault);
}

}  // namespace tavrel_mmp::soak
