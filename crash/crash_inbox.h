#pragma once

#include <functional>
#include <string>

#include "crash/crash_file.h"

namespace tavrel_mmp {

// The crash files that processes which are gone left in a documents directory.
class CrashInbox {
 public:
  // Stores one record; true once the settings store has written it to permanent storage.
  using Store = std::function<bool(const CrashRecord&)>;

  // Looks at every crash file in `directory` that no live process holds locked: empty ones (a
  // process that ended without a crash) and incomplete ones go; of the complete ones the newest
  // is stored (one slot: only the last crash survives), and they all go once the store said it
  // is written. Until then they stay, for `storeWritten` or the next start.
  static void importFrom(const std::string& directory, const Store& store);

  // The settings store has written everything so far: the files whose records were stored
  // while it could not write go now.
  static void storeWritten();
};

}  // namespace tavrel_mmp
