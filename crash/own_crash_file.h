#pragma once

#include <optional>
#include <string>

namespace tavrel_mmp {

// This process's crash file, where `RecordFile` writes. It has a name of its own in the
// documents directory and stays locked (flock) for the process's life, so that another instance
// can tell it from the file of a process that is gone.
class OwnCrashFile {
 public:
  // Makes a fresh, empty, locked crash file in `directory` (owner-only, never through a
  // symbolic link) the process's crash file; an earlier one of this process is closed and
  // removed. False when no file could be made (the earlier one stays).
  static bool open(const std::string& directory);
  // No crash file any more: records written from now on are lost.
  static void close();
  // The directory of this process's open crash file; none in a forked child that has not
  // made its own yet.
  static std::optional<std::string> directory();
};

}  // namespace tavrel_mmp
