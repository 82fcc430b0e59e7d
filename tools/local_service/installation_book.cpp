#include "local_service/installation_book.h"

#include <algorithm>

#include "local_service/live_json.h"

namespace tavrel_mmp::tools {
namespace {

using nlohmann::json;

// The members a user profile adds to a device report.
constexpr const char* kProfileKeys[] = {"userId", "name",    "gender", "email",        "phone",
                                        "age",    "country", "city",   "firebaseToken"};

}  // namespace

void InstallationBook::noteSession(const json& body, const std::string& token,
                                   const std::string& sessionId, std::int64_t atMs) {
  const std::string deviceId = textMember(body, "deviceId");
  deviceOfToken_[token] = deviceId;
  Installation* installation = entryFor(deviceId, atMs);
  if (!installation) return;
  installation->partnerCode = textMember(body, "partnerCode");
  if (installation->bundleId.empty()) installation->bundleId = textMember(body, "appId");
  ++installation->sessions;
  installation->lastSessionId = sessionId;
}

void InstallationBook::noteDeviceReport(const std::string& token, const json& body,
                                        std::size_t bodyBytes, std::int64_t atMs) {
  std::string deviceId = textMember(body, "sdkDeviceId");
  if (deviceId.empty()) deviceId = deviceOf(token);
  Installation* installation = entryFor(deviceId, atMs);
  if (!installation || bodyBytes > kMaxReportBytes) return;
  if (const std::string bundleId = textMember(body, "bundleId"); !bundleId.empty()) {
    installation->bundleId = bundleId;
  }
  installation->appVersion = textMember(body, "appVersion");
  installation->os = textMember(body, "os") + " " + textMember(body, "osVersion");
  installation->userId = textMember(body, "userId");
  installation->lastDeviceReport = body;
  // A session's report is the device alone; one sent for a profile carries its other members.
  json profile = json::object();
  bool hasProfile = false;
  for (const char* key : kProfileKeys) {
    const auto found = body.find(key);
    if (found == body.end()) continue;
    profile[key] = *found;
    hasProfile = hasProfile || std::string_view(key) != "userId";
  }
  if (hasProfile) {
    installation->lastProfile = std::move(profile);
    installation->profileAtMs = atMs;
  }
}

std::string InstallationBook::deviceOf(const std::string& token) const {
  const auto found = deviceOfToken_.find(token);
  return found == deviceOfToken_.end() ? "" : found->second;
}

Installation* InstallationBook::entryFor(const std::string& deviceId, std::int64_t atMs) {
  if (deviceId.empty() || deviceId.size() > kMaxDeviceIdBytes) return nullptr;
  auto found = installations_.find(deviceId);
  if (found == installations_.end()) {
    if (installations_.size() >= kTracked) {
      installations_.erase(std::min_element(
          installations_.begin(), installations_.end(),
          [](const auto& a, const auto& b) { return a.second.lastSeenMs < b.second.lastSeenMs; }));
    }
    found = installations_.emplace(deviceId, Installation{.deviceId = deviceId}).first;
  }
  found->second.lastSeenMs = atMs;
  return &found->second;
}

}  // namespace tavrel_mmp::tools
