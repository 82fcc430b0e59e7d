#pragma once

#include <optional>
#include <string>

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
  /// The application's identifier (reverse-DNS, "com.example.app"): sent to the service and
  /// naming the folder of the library's files. Unset: the platform's (on Linux the executable's
  /// file name, which apps run by one interpreter share). One that is empty, longer than 255
  /// bytes, or holds '/', ".." or a control character is refused with a development line.
  std::optional<std::string> bundleId;
  /// The application's version as the device report carries it. Unset: the platform's (none
  /// on Linux).
  std::optional<std::string> appVersion;
  /// The folder of the library's files (preferences, events, crash files), created 0700 when
  /// missing. Unset: "$XDG_DATA_HOME/tavrel_mmp/<bundle id>". A path that is not absolute or
  /// cannot be created is refused with a development line. The folder is fixed by the first use
  /// of the files in a process, so give it at the first start, before any other call.
  std::optional<std::string> dataDirectory;
};

}  // namespace tavrel_mmp
