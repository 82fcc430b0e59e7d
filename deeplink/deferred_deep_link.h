#pragma once

namespace tavrel_mmp {

// Whether the installation still waits for the service's answer about a deferred deep link.
// The question is asked at the first accepted authentication; when it gets no answer at all
// (a transport failure), it is asked again at later accepted authentications, a bounded number
// of times. Any answer with a body ends the asking, whatever it says.
class DeferredDeepLink {
 public:
  static constexpr int kMaxAttempts = 3;

  // The first-open request is about to leave.
  static void asking();
  // Whether a later session start should ask again.
  static bool shouldAskAgain();
  static void answered();
  static void answerLost();
};

}  // namespace tavrel_mmp
