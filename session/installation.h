#pragma once

#include "tavrel_mmp/consent_state.h"

namespace tavrel_mmp {

// The installation as the user controls it: whether it is tracked, and starting it over.
class Installation {
 public:
  // Persisted across starts, on by default. While off nothing is recorded, uploaded or
  // authenticated; what was stored before waits, and leaves once tracking is on again. Never
  // waits for another process's lock on the settings: the choice holds from the return, and
  // the library's thread writes it as soon as it can.
  static void setTrackingEnabled(bool enabled);
  // As above, with a third answer: pending records (durably) and sends nothing until granted;
  // denied after pending deletes what was recorded meanwhile.
  static void setConsent(ConsentState state);
  // True only while the choice is known to be granted.
  static bool isTrackingEnabled();
  // This process holds back every request of its own while offline and records as usual; what
  // waited leaves once it is online again.
  static void setOffline(bool offline);
  // The installation starts over before this returns: the stored events, the session, the
  // deep links and deferred-link state, crash records and the user's identifier go, a new
  // device identifier is made, and the next session start is a first open. Nothing of the old
  // installation is sent afterwards, and no answer on its way changes anything. The settings
  // change is one transaction, written by the library's thread as soon as the file allows.
  static void forget();
};

}  // namespace tavrel_mmp
