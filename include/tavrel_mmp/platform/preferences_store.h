#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrel_mmp::platform {

/// A stored preference: text or raw bytes.
using PreferenceValue = std::variant<std::string, std::vector<std::uint8_t>>;

/// What a claim found: the text the key holds afterwards, and whether this claim stored it.
struct PreferenceClaim {
  std::string value;
  bool claimed = false;
};

/// What a read found: the value, its absence, or nothing known because the stored values cannot
/// be read now.
struct PreferenceRead {
  bool known = true;
  std::optional<PreferenceValue> value;  // none: absent (or unknown)
};

/// Changes made together: a value to store under each key, or none to remove the key.
using PreferenceChanges = std::map<std::string, std::optional<PreferenceValue>>;

/// The per-application persistent key-value store. Every single read and write is safe from
/// any thread and visible to the reads that follow it in the process.
class PreferencesStore {
 public:
  virtual ~PreferencesStore() = default;
  /// The value under `key`; none when it is absent or cannot be read now.
  virtual std::optional<PreferenceValue> value(const std::string& key) = 0;
  virtual void setText(const std::string& key, const std::string& value) = 0;
  virtual void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) = 0;
  virtual void remove(const std::string& key) = 0;
  /// Writes every change made so far to permanent storage before returning; false when that
  /// failed or cannot be done now (the changes stay visible in this process and are written
  /// again later).
  virtual bool flush() = 0;

  /// The value under `key`, telling "absent" from "unknown": the stored values cannot be read now
  /// (a file that cannot be opened, changes made together that have not reached permanent storage
  /// yet). The default, for a store that cannot tell, answers every read of value() as known.
  virtual PreferenceRead read(const std::string& key);

  /// Applies the changes together: visible in this process at once, and in permanent storage all
  /// or none. Until they are there, reads of their keys answer unknown, so that nothing acts on a
  /// value a crash could still take back. The default applies them one by one through the
  /// operations above and flushes.
  virtual void applyTogether(const PreferenceChanges& changes);

  /// For values decided once per installation (the device identifier, the first-open marker):
  /// stores the text `value` under `key` unless the key holds a text other than `unset` already
  /// (an absent key counts as unset), and answers the text the key holds afterwards. The value is
  /// in permanent storage before this returns, and of several processes of the application
  /// claiming one key, one stores and the others find its value. None while the stored values
  /// cannot be read or the claim cannot be written: the caller must not take that for "absent".
  /// The default implementation reads, writes and flushes through the operations above (one
  /// process at a time); stores shared between processes override it.
  virtual std::optional<PreferenceClaim> claimText(const std::string& key, const std::string& value,
                                                   const std::string& unset);
};

PreferencesStore& preferencesStore();
void installPreferencesStore(std::shared_ptr<PreferencesStore> store);

}  // namespace tavrel_mmp::platform
