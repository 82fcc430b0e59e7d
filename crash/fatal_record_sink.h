#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel_mmp {

// This process's crash file, and the one record a dying process leaves in it. The file has a
// name of its own in the documents directory and stays locked (flock) for the process's life, so
// that another instance can tell it from the file of a process that is gone. A record is either
// pending (threads inside an earlier handler hold it; it goes when the last lets go) or kept
// (the process is ending). Everything but open and close is async-signal-safe.
class FatalRecordSink {
 public:
  // Makes a fresh, empty, locked crash file in `directory` (owner-only, never through a
  // symbolic link) the process's crash file; an earlier one of this process is closed and
  // removed. False when no file could be made (the earlier one stays).
  static bool open(const std::string& directory);
  // No crash file any more: records written from now on are lost.
  static void close();
  // The directory of this process's open crash file; none in a forked child that has not
  // made its own yet.
  static std::optional<std::string> openDirectory();

  // Adds a holder to the pending record, writing `record` first when there is none; false when
  // this process has no file or a record is kept already.
  static bool hold(int signal, std::string_view record);
  // One holder lets go; the last one empties the file.
  static void release();
  // Keeps a record for good: the pending one when it is for `signal`, else `record`. The first
  // kept record stays; a caller that finds another being written waits a moment for it, so
  // that the process does not end under it. A `signal` of 0 is no signal (an exception).
  static void keep(int signal, std::string_view record);
};

}  // namespace tavrel_mmp
