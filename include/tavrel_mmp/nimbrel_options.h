#pragma once

namespace tavrel_mmp {

/// Start-up options, adjusted by the host after construction.
class NimbrelOptions {
 public:
  NimbrelOptions() = default;
  bool showLog = false;
  bool autoTrackingScreen = true;
};

}  // namespace tavrel_mmp
