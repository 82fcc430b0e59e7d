#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

// One installation of a host app as the service has seen it: from its authentications and its
// device reports ("/partner/device-info/update"), the last of which may carry the user's
// profile.
struct Installation {
  std::string deviceId;
  std::string partnerCode;
  std::string bundleId;  // the device report's "bundleId", else the authentication's "appId"
  std::string appVersion;
  std::string os;  // the device report's "os" and "osVersion"
  std::string userId;
  std::size_t sessions = 0;  // authentications granted
  std::string lastSessionId;
  std::int64_t lastSeenMs = 0;      // wall clock, milliseconds since the Unix epoch
  nlohmann::json lastDeviceReport;  // null until one arrives
  nlohmann::json lastProfile;       // the profile members of the last report carrying one
  std::int64_t profileAtMs = 0;
};

// The installations behind the requests, keyed by device id, and which device each granted
// token belongs to. Not synchronised: its owner locks around it.
class InstallationBook {
 public:
  // Past this many installations, the one seen least recently is forgotten.
  static constexpr std::size_t kTracked = 64;
  // Longer device ids, and larger device reports, are the client's noise and not kept.
  static constexpr std::size_t kMaxDeviceIdBytes = 256;
  static constexpr std::size_t kMaxReportBytes = 64u << 10;

  // A granted authentication: its request body {"partnerCode", "appId", "deviceId"}.
  void noteSession(const nlohmann::json& body, const std::string& token,
                   const std::string& sessionId, std::int64_t atMs);
  // A device report sent with `token`, `bodyBytes` long.
  void noteDeviceReport(const std::string& token, const nlohmann::json& body, std::size_t bodyBytes,
                        std::int64_t atMs);
  // The device `token` was granted to; empty when unknown.
  std::string deviceOf(const std::string& token) const;
  // Forgets the installations, not whose tokens are whose.
  void clear() { installations_.clear(); }

  const std::map<std::string, Installation>& installations() const { return installations_; }

 private:
  Installation* entryFor(const std::string& deviceId, std::int64_t atMs);

  std::map<std::string, std::string> deviceOfToken_;
  std::map<std::string, Installation> installations_;
};

}  // namespace tavrel_mmp::tools
