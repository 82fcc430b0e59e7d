#pragma once

// Every entry the library keeps in the application's preferences store, in one place. The
// "MMP_" entries are reached through StorageHelper's accessors; the others belong to the rooms
// named beside them, which read and write them through StorageHelper's generic operations.
namespace tavrel_mmp::settings_keys {

inline constexpr const char* kPartnerCode = "MMP_PartnerCode";
inline constexpr const char* kAppSecret = "MMP_AppSecret";
inline constexpr const char* kBaseUrl = "MMP_BaseUrl";
inline constexpr const char* kAuthData = "MMP_AuthData";  // bytes: the last accepted answer
inline constexpr const char* kDeviceId = "MMP_DeviceId";  // claimed once per installation
inline constexpr const char* kDeeplink = "MMP_Deeplink";
inline constexpr const char* kDeeplinkExpireTime = "MMP_SessionExpireTimeInSeconds_Deeplink";
inline constexpr const char* kExpireTime = "MMP_SessionExpireTimeInSeconds";
inline constexpr const char* kLastEventTime = "MMP_LastEventTime";

// "0" while the user has switched tracking off, "pending" while the user has not decided yet;
// anything else (or nothing) is on.
inline constexpr const char* kTrackingEnabled = "MMP_TrackingEnabled";

// The host's global properties: a JSON object merged into each of its events.
inline constexpr const char* kGlobalProperties = "MMP_GlobalProperties";

// Session start: "1" once the installation's first open is recorded (claimed).
inline constexpr const char* kFirstOpen = "___first_open";
// Deferred deep link: unanswered attempts so far (absent once answered), and "1" once an
// answered link went to the host (claimed).
inline constexpr const char* kDeferredAttempts = "MMP_UnifiedDeeplinkAttempts";
inline constexpr const char* kDeferredHandedOver = "MMP_UnifiedDeeplinkHandedOver";
// "1" once the answer (a link or none) went to the host's deferred-link outcome callback.
inline constexpr const char* kDeferredOutcomeReported = "MMP_UnifiedDeeplinkReported";
// User profile: the host user's identifier, reported in every device dictionary.
inline constexpr const char* kUserId = "Tavrel_MMP_UserID";
// Crash reporting: the last crash or unsent handled error, and its hash.
inline constexpr const char* kLastCrash = "TavrelMMP_last_crash";
inline constexpr const char* kLastCrashHash = "TavrelMMP_last_crash_hash";

// Whom an entry belongs to. The installation's entries go when it starts over (the device
// identifier is replaced); the host's configuration and the user's tracking choice stay.
enum class Scope { installation, configuration };

struct Entry {
  const char* key;
  Scope scope;
};

// Every entry above, with its scope. A new key belongs here too.
// clang-format off
inline constexpr Entry kEntries[] = {
    {kPartnerCode, Scope::configuration},
    {kAppSecret, Scope::configuration},
    {kBaseUrl, Scope::configuration},
    {kTrackingEnabled, Scope::configuration},
    {kGlobalProperties, Scope::configuration},
    {kAuthData, Scope::installation},
    {kDeviceId, Scope::installation},
    {kDeeplink, Scope::installation},
    {kDeeplinkExpireTime, Scope::installation},
    {kExpireTime, Scope::installation},
    {kLastEventTime, Scope::installation},
    {kFirstOpen, Scope::installation},
    {kDeferredAttempts, Scope::installation},
    {kDeferredHandedOver, Scope::installation},
    {kDeferredOutcomeReported, Scope::installation},
    {kUserId, Scope::installation},
    {kLastCrash, Scope::installation},
    {kLastCrashHash, Scope::installation},
};
// clang-format on

}  // namespace tavrel_mmp::settings_keys
