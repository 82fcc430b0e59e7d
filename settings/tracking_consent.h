#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "tavrel_mmp/consent_state.h"

namespace tavrel_mmp {

// Whether the user lets the library track (granted unless switched off or left pending),
// persisted across starts; the offline switch, which holds everything back for this process; and
// the installation's epoch, which moves on when the installation is forgotten: work begun before
// (a batch read, a request in flight) can then tell that nothing of it may leave or act any more.
class TrackingConsent {
 public:
  // The user's choice; none while the stored choice cannot be read (nothing may leave then).
  // Read from the settings until a read succeeds, then kept.
  static std::optional<ConsentState> state();
  // Whether events are recorded (granted or pending); none while the choice cannot be read.
  static std::optional<bool> choice();
  // Whether anything may leave the device: the choice is known to be granted and the library is
  // not offline.
  static bool isEnabled();
  // Whether what is not sent is recorded (durably) all the same: granted or pending.
  static bool records();
  // In effect when it returns; on disk by then unless the settings file cannot be written at
  // once (another process's lock), and then written by the library's thread as soon as it can.
  // A host that never leaves a choice pending finds the values it always found on disk.
  static void setState(ConsentState state);
  static void setEnabled(bool enabled);
  // Async-signal-safe: true only once the choice is known to be denied.
  static bool knownOff();

  // Offline: recording goes on, nothing leaves. This process only, off at its start.
  static void setOffline(bool offline);

  static std::uint64_t epoch();
  static bool sameInstallation(std::uint64_t epoch);

  // Keeps the epoch from moving on while it is held, so that work checked against it (a batch
  // handed to the transport) finishes under it; empty when `epoch` is stale already.
  class Hold {
   public:
    explicit operator bool() const { return lock_.owns_lock(); }

   private:
    friend class TrackingConsent;
    std::shared_lock<std::shared_mutex> lock_;
  };
  static Hold hold(std::uint64_t epoch);
  // A new epoch, once every hold is released: everything begun before is stale from now on.
  static void startNewEpoch();
};

}  // namespace tavrel_mmp
