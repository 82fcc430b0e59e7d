#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tavrel_mmp/export.h"

namespace tavrel_mmp {

/// The library's memory of the deep link that brought the user in: the last one received (kept
/// for a number of days the service sets), the one received in this process, the deferred one
/// the service may hold for a new installation, and the host's callback for deep links.
/// Every operation is safe from any thread; the host's callback is never called under a lock.
class TAVREL_MMP_EXPORT DeepLinkHandler {
 public:
  using Callback = std::function<void(const std::string& deeplink)>;

  /// Sets both in-memory links and, when not empty, the stored copy.
  static void setDeepLink(const std::string& url);
  /// Restores the stored link while its window runs, or clears the stored link and its window.
  static void initDeeplink();
  /// Starts the stored link's retention window of `deeplinkCountDate` days (never extends a
  /// running window for the same link).
  static void saveDeeplink(std::int64_t deeplinkCountDate);
  /// Asks the service once whether a deep link waited for this installation.
  static void getUDL();

  /// Forgets both links in memory (the installation starts over); the callback stays.
  static void forget();

  static std::string getLastDeepLink();
  static std::string getCurrentDeepLink();

  /// The host's callback (none at start); setting replaces any earlier one.
  static Callback handleDeeplink();
  static void setHandleDeeplink(Callback callback);

  /// What the verification request says about this device.
  static std::string deviceIdentifier();          ///< the generic model name, lower-cased
  static std::string osVersion();                 ///< lower-cased
  static std::string osName();                    ///< lower-cased
  static std::optional<std::string> ipAddress();  ///< Wi-Fi, else cellular
};

}  // namespace tavrel_mmp
