#pragma once

#include <memory>
#include <string>

#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp::platform {

/// The Linux provider: one SQLite table in a file of its own, so that locking between processes,
/// atomic writes and recovery come with it. Values are kept in memory once read; changes are
/// written behind on a library thread, tried again until they are written, and a claim goes to the
/// file itself (one transaction, after the changes made before it). A caller never waits long for
/// another process's lock: a read of a file not yet read answers unknown, and a flush false, once
/// the library thread has waited for one a few tens of milliseconds. A file that cannot be read
/// is never written over: nothing is latched, the next access tries again, and changes made
/// meanwhile are kept in memory and written when the file opens. A file that is not a database is
/// set aside ("<path>.damaged-<unix time>") and a fresh one started. An empty path keeps
/// everything in memory only.
std::shared_ptr<PreferencesStore> makeSqlitePreferencesStore(std::string path);

}  // namespace tavrel_mmp::platform
