// The settings store opened on a damaged file: the file's bytes are the input. Whatever it
// holds, the store reads, claims, writes and flushes, and what it was told reads back.
#include <fstream>

#include "fuzz_support.h"
#include "settings/settings_keys.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"

using namespace tavrel_mmp;
using namespace tavrel_mmp::settings_keys;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ScratchDirectory directory;
  const std::string path = directory.path() + "/preferences.sqlite3";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));

  const auto store = platform::makeSqlitePreferencesStore(path);
  store->value(kDeviceId);
  const auto claim = store->claimText(kFirstOpen, "1", "0");
  store->setText(kPartnerCode, "PARTNER");
  store->setBytes(kLastCrash, {0, 0xff, 2});
  store->remove(kAuthData);
  store->flush();
  // Written or not, every change is visible to the reads that follow.
  fuzz::require(store->value(kPartnerCode) == platform::PreferenceValue(std::string("PARTNER")));
  fuzz::require(!store->value(kAuthData));
  if (claim) fuzz::require(store->value(kFirstOpen) == platform::PreferenceValue(claim->value));
  return 0;
}
