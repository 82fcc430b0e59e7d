#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/consent_state.h"
#include "tavrel_mmp/export.h"
#include "tavrel_mmp/nimbrel_options.h"
#include "tavrel_mmp/outcomes.h"
#include "tavrel_mmp/product_item.h"
#include "tavrel_mmp/property_dictionary.h"
#include "tavrel_mmp/user_info.h"

namespace tavrel_mmp {

/// The library's public entry points. Nothing here throws or reports failure to the caller.
/// Every entry point is safe to call from any thread, also while other threads call others.
class TAVREL_MMP_EXPORT Nimbrel {
 public:
  /// Starts the library: options, credentials, authentication, crash capture.
  static void intSDK(const std::string& partnerCode, const std::string& appSecret,
                     const std::shared_ptr<NimbrelOptions>& options);
  /// The same with the current development flag and automatic screen tracking on.
  static void intSDK(const std::string& partnerCode, const std::string& appSecret);
  /// Host data is read where it stands, never copied: a dictionary nested too deeply to be
  /// carried (deeper than 512 levels) is refused without being walked recursively.
  static void logEvent(const std::string& name, const std::optional<PropertyDictionary>& data);
  static void logEvent(const std::string& name, const PropertyDictionary& data);
  /// Values put on every event logged with logEvent (build, platform, A/B group), under the
  /// event's own values on equal keys; the library's own events never carry them. Adds a copy of
  /// the entries of `properties` (a dictionary), replacing those of equal keys. Kept across starts.
  static void setGlobalProperties(const PropertyDictionary& properties);
  /// Removes one global property; the others stay.
  static void unsetGlobalProperty(const std::string& key);
  /// As logEvent, and sent on its own at once rather than with the next batch (the same as a
  /// "nbRealtime": true entry in `data`, which this adds). Data that is not a dictionary is
  /// recorded as logEvent would, for the next batch.
  static void logRealtimeEvent(const std::string& name, const PropertyDictionary& data);
  static void setDevMode(bool on);
  static void setCurrentScreen(const std::string& screenName);
  static void recordError(const std::string& name, const std::string& stackTrace);
  static void setUserInfo(const std::shared_ptr<UserInfo>& userInfo);
  /// An amount that is not a finite number is sent as null; the order and currency stay.
  static void setRevenue(const std::string& orderId, double amount, const std::string& currency,
                         const std::optional<PropertyDictionary>& data);
  static void setRevenue(const std::string& orderId, double amount, const std::string& currency,
                         const PropertyDictionary& data);
  /// The host's deep-link callback, replacing any earlier one; not called now.
  static void handleDeeplink(std::function<void(const std::string& deeplink)> callback);
  static void setProductList(const std::string& listName,
                             const std::vector<std::shared_ptr<ProductItem>>& products);

  /// Called with the outcome of every authentication the service answers: accepted with the
  /// session granted, or refused with the service's code and text. Runs on a library thread,
  /// with no lock of the library held; replaces any earlier callback (an empty one removes it).
  /// Set it before intSDK to hear the first outcome.
  static void onSession(std::function<void(const SessionOutcome& outcome)> callback);
  /// Called once per installation with the answer to its deferred deep-link question: the link,
  /// or std::nullopt when the service holds none. Runs on a library thread, with no lock of the
  /// library held; replaces any earlier callback. Set it before intSDK: an answer that arrives
  /// with no callback set is not kept.
  static void onDeferredDeeplink(
      std::function<void(const std::optional<std::string>& link)> callback);

  /// Whether the user lets the library track; persisted across starts, on by default. While off
  /// nothing is recorded (events, screens, products, revenue, errors, profile), uploaded or
  /// authenticated, from before the call returns; events stored earlier wait and leave once it
  /// is on again.
  static void setTrackingEnabled(bool enabled);
  /// The choice (on unless switched off or pending); false while the stored choice cannot be
  /// read, during which nothing leaves the device and events wait in memory for it.
  static bool isTrackingEnabled();
  /// The user's consent, persisted across starts. ConsentState::pending records events on disk
  /// and sends nothing (no authentication either) until the user decides; granted sends what
  /// waited, as setTrackingEnabled(true); denied deletes what was recorded while pending and
  /// then behaves as setTrackingEnabled(false).
  static void setConsent(ConsentState state);
  /// Offline: events are recorded as usual and nothing is sent (no authentication, upload,
  /// heartbeat or device update), requests not yet on their way included; nothing is lost, and
  /// what waited leaves once offline is switched off. Off at every start of the process.
  static void setOffline(bool offline);
  /// The installation starts over before this returns: stored events, session, deep links,
  /// deferred-link state, crash records and user id go, a new device identifier is made, and the
  /// next session start is a first open. Nothing of the old installation is sent afterwards.
  static void forgetDevice();

  /// Sends what is stored now and waits at most `timeout` for the service: true when every
  /// event stored at the call was accepted. For a process about to end (a command-line tool,
  /// an installer); the library never calls it. Answers false at once while tracking is off or
  /// its choice cannot be read, and when called on one of the library's own threads (from a
  /// callback or the log sink), where waiting would hold up the work it waits for.
  static bool flush(std::chrono::milliseconds timeout);

  /// Takes the development lines ("MMP: ...", made while development mode is on) instead of
  /// standard output, with their level: 0 error, 1 warning, 2 information, 3 debug (request
  /// and answer bodies, headers, the tracker's inner steps). Called on a library thread of its
  /// own, in the order the lines were made, with no lock of the library's held: it may block,
  /// throw (ignored) or call the library (the lines those calls make are not passed back). A
  /// session token or app secret appears in a line only as its first few characters. An empty
  /// function restores standard output.
  static void setLogSink(std::function<void(int level, const std::string& line)> sink);

  /// The release of the library running, "MAJOR.MINOR.PATCH" (TAVREL_MMP_VERSION_STRING of the
  /// headers it was built with).
  static std::string version();
};

}  // namespace tavrel_mmp
