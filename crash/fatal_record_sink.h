#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "crash/fault_rounds.h"

namespace tavrel_mmp {

// This process's crash file, and the one record a dying process leaves in it. The file has a
// name of its own in the documents directory and stays locked (flock) for the process's life, so
// that another instance can tell it from the file of a process that is gone. Records are either
// held by fault rounds (threads inside an earlier handler; the file shows the record of the
// round that began last, since the fault that ends the process is most likely the latest, and
// is empty once no round holds one) or kept (the process is ending). Everything but open and
// close is async-signal-safe.
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

  // The longest record a fault round holds.
  static constexpr std::size_t kRecordCapacity = 16 * 1024;

  // `round` holds `record`, in place of what its slot held before; false when this process has
  // no file or a record is kept already.
  static bool hold(const FaultRounds::Round& round, std::string_view record);
  // `round` has ended: its record goes, unless a newer round holds the slot by now.
  static void release(const FaultRounds::Round& round);
  // Keeps `record` for good. The first kept record stays; a caller that finds the file being
  // written waits a moment for it, so that the process does not end under it.
  static void keep(std::string_view record);
};

}  // namespace tavrel_mmp
