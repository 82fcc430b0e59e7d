#include "tavrel_mmp/platform/preferences_store.h"

#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

std::shared_ptr<PreferencesStore> makeDefault() {
  // Without a data directory of the user's own, preferences live in memory only.
  const auto directory = defaultApplicationDataDirectory();
  return makeSqlitePreferencesStore(directory ? *directory + "/preferences.sqlite3" : "");
}

ProviderSlot<PreferencesStore>& slot() {
  static auto* s = new ProviderSlot<PreferencesStore>(&makeDefault);
  return *s;
}

}  // namespace

PreferencesStore& preferencesStore() {
  return slot().get();
}
void installPreferencesStore(std::shared_ptr<PreferencesStore> store) {
  slot().install(std::move(store));
}

}  // namespace tavrel_mmp::platform
