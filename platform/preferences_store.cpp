#include "tavrel_mmp/platform/preferences_store.h"

#include <mutex>

#include "core/no_destructor.h"
#include "platform/per_process.h"
#include "platform/provider_slot.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

namespace tavrel_mmp::platform {
namespace {

std::shared_ptr<PreferencesStore> makeDefault() {
  // Without a data directory of the user's own, preferences live in memory only.
  const auto directory = defaultApplicationDataDirectory();
  return makeSqlitePreferencesStore(directory ? *directory + "/preferences.sqlite3" : "");
}

ProviderSlot<PreferencesStore>& slot() {
  static NoDestructor<ProviderSlot<PreferencesStore>> s(&makeDefault);
  return s.get();
}

std::mutex& claimMutex() {
  static PerProcess<std::mutex> mutex;
  return mutex.get();
}

}  // namespace

std::optional<PreferenceClaim> PreferencesStore::claimText(const std::string& key,
                                                           const std::string& value,
                                                           const std::string& unset) {
  std::lock_guard<std::mutex> lock(claimMutex());
  const std::optional<PreferenceValue> before = this->value(key);
  const auto* text = before ? std::get_if<std::string>(&*before) : nullptr;
  if (text != nullptr && *text != unset) return PreferenceClaim{*text, false};
  setText(key, value);
  if (flush()) return PreferenceClaim{value, true};
  // Not in permanent storage: undone, so that the next claim is decided afresh.
  if (before) {
    if (text != nullptr)
      setText(key, *text);
    else
      setBytes(key, std::get<std::vector<std::uint8_t>>(*before));
  } else {
    remove(key);
  }
  return std::nullopt;
}

PreferenceRead PreferencesStore::read(const std::string& key) {
  return PreferenceRead{true, value(key)};
}

void PreferencesStore::applyTogether(const PreferenceChanges& changes) {
  for (const auto& [key, change] : changes) {
    if (!change) {
      remove(key);
    } else if (const auto* text = std::get_if<std::string>(&*change)) {
      setText(key, *text);
    } else {
      setBytes(key, std::get<std::vector<std::uint8_t>>(*change));
    }
  }
  flush();
}

PreferencesStore& preferencesStore() {
  return slot().get();
}
void installPreferencesStore(std::shared_ptr<PreferencesStore> store) {
  slot().install(std::move(store));
}

}  // namespace tavrel_mmp::platform
