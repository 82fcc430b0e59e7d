#include "tavrel_mmp/platform/preferences_store.h"

#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

std::shared_ptr<PreferencesStore> makeDefault() {
  return makeFilePreferencesStore(
      {defaultApplicationDataDirectory() + "/preferences.bin", nullptr});
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
