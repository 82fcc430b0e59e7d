#pragma once

namespace tavrel_mmp {

/// The user's answer to the question whether the library may measure.
enum class ConsentState {
  /// Not decided yet: events are recorded and kept on disk, nothing leaves the device.
  pending,
  /// Measured and sent, also what was recorded while pending (setTrackingEnabled(true)).
  granted,
  /// Nothing is recorded or sent; what was recorded while pending is deleted
  /// (setTrackingEnabled(false)).
  denied,
};

}  // namespace tavrel_mmp
