#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "tavrel_mmp/export.h"
#include "tavrel_mmp/platform/ui_toolkit.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

/// A URL as the system hands it over; the library uses its absolute text only.
class URL {
 public:
  explicit URL(std::string absoluteString) : absoluteString_(std::move(absoluteString)) {}
  const std::string& absoluteString() const { return absoluteString_; }

 private:
  std::string absoluteString_;
};

/// Where a host forwards the URLs the system opens for it: each distinct URL reaches the
/// deep-link handler and the host's deep-link callback once.
class TAVREL_MMP_EXPORT NimbrelDeepLinkDelegate {
 public:
  /// The instance hosts are meant to use, created once.
  static NimbrelDeepLinkDelegate& shared();
  NimbrelDeepLinkDelegate() = default;
  virtual ~NimbrelDeepLinkDelegate() = default;

  /// The URL text this instance delivered last.
  virtual std::string deeplink() const;
  virtual void setDeeplink(const std::string& deeplink);

  /// The application delegate's open-URL entry; only the URL is used. Always true.
  virtual bool application(const std::shared_ptr<platform::UIToolkit>& application, const URL& url,
                           const PropertyDictionary& options);
  virtual void handleDeeplink(const std::string& url);

 protected:
  /// Delivers the link this instance holds.
  virtual void checkDeepLink();
  /// Delivers `url` to the deep-link handler and the host's callback. `handleDeeplink` passes the
  /// URL it accepted itself, so that of two threads delivering different URLs each delivers its
  /// own, never the other's twice.
  virtual void deliverDeepLink(const std::string& url);

 private:
  /// Takes `url` as the latest link unless it is empty or the one delivered last.
  TAVREL_MMP_NO_EXPORT bool accept(const std::string& url);

  mutable std::mutex mutex_;
  std::string deeplink_;
};

}  // namespace tavrel_mmp
