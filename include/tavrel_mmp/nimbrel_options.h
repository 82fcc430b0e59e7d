#pragma once

namespace tavrel_mmp {

/// Start-up options, adjusted by the host after construction.
class NimbrelOptions {
 public:
  NimbrelOptions() = default;
  bool showLog = false;
  bool autoTrackingScreen = true;
  /// False leaves crashes to the host's own reporter: no signal handler and no terminate hook
  /// is installed (handled errors are still recorded).
  bool crashReporting = true;
};

}  // namespace tavrel_mmp
