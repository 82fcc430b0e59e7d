#pragma once

#include <cstddef>
#include <string>

namespace tavrel_mmp {

// Where a dying process leaves its crash record: a file opened ahead of time, written with
// async-signal-safe calls only.
class FatalRecordSink {
 public:
  // Opens a fresh, empty crash file at `path` (owner-only, never through a symbolic link) and
  // makes it the process's crash file; an earlier one is closed and removed. False when the
  // file cannot be opened (the earlier one stays).
  static bool open(const std::string& path);
  // No crash file any more: records written from now on are lost.
  static void close();

  // Writes `bytes` as the process's crash record, unless another handler of this process
  // claimed that already; then it waits a moment for that one to finish, so that the process
  // does not end under it. Async-signal-safe.
  static void writeOnce(const char* bytes, std::size_t length);
};

}  // namespace tavrel_mmp
