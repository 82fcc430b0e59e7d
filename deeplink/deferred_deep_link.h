#pragma once

namespace tavrel_mmp {

// The installation's question to the service about a deferred deep link. It is asked at the
// first accepted authentication; when it gets no answer at all (a transport failure), it is asked
// again at later accepted authentications, a bounded number of times. Any answer with a body ends
// the asking, whatever it says. At most one question is in flight in a process, and a link the
// answers bring is handed to the host once per installation.
class DeferredDeepLink {
 public:
  static constexpr int kMaxAttempts = 3;

  // The first-open request is about to leave (on disk before it does).
  static void asking();
  // Whether a later session start should ask again.
  static bool shouldAskAgain();
  static void answered();
  static void answerLost();

  // Takes the one slot for a question in flight; false while another is on its way.
  static bool beginQuestion();
  static void endQuestion();
  // Claims the hand-over of an answered link to the host: true once per installation (also
  // across processes), false afterwards and while the settings cannot be written.
  static bool claimHandOver();
};

}  // namespace tavrel_mmp
