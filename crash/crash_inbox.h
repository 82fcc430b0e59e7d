#pragma once

#include <optional>
#include <string>

#include "crash/crash_file.h"

namespace tavrel_mmp {

// The crash files that processes which are gone left in a documents directory.
class CrashInbox {
 public:
  // Takes every crash file in `directory` that no live process holds locked: empty ones (a
  // process that ended without a crash) and incomplete ones go at once; the complete ones stay,
  // locked by this process so that another instance leaves them alone, until `storeWritten`.
  // Returns the newest of their records (one slot: only the last crash survives), for the caller
  // to store.
  static std::optional<CrashRecord> take(const std::string& directory);

  // The settings store has written everything so far, or the records taken are dropped: the
  // files taken go now.
  static void storeWritten();
};

}  // namespace tavrel_mmp
