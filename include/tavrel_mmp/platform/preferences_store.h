#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrel_mmp::platform {

// A stored preference: text or raw bytes.
using PreferenceValue = std::variant<std::string, std::vector<std::uint8_t>>;

// The per-application persistent key-value store. Every single read and write is safe from
// any thread and visible to the reads that follow it in the process.
class PreferencesStore {
 public:
  virtual ~PreferencesStore() = default;
  virtual std::optional<PreferenceValue> value(const std::string& key) = 0;
  virtual void setText(const std::string& key, const std::string& value) = 0;
  virtual void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) = 0;
  virtual void remove(const std::string& key) = 0;
  // Writes every change made so far to permanent storage before returning; false when that
  // failed (the changes stay visible in this process and are written again later).
  virtual bool flush() = 0;
};

PreferencesStore& preferencesStore();
void installPreferencesStore(std::shared_ptr<PreferencesStore> store);

// The Linux provider: one file, replaced atomically (write, fsync, rename) on every change.
// A file that is truncated or corrupted reads as an empty store (reported in development mode).
struct FilePreferencesStoreOptions {
  std::string path;
  // Test hook: called after the new file is written and synced, before it replaces the old one.
  std::function<void()> beforeRename;
};
std::shared_ptr<PreferencesStore> makeFilePreferencesStore(FilePreferencesStoreOptions options);

}  // namespace tavrel_mmp::platform
