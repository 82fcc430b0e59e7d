// The authentication answer: decoded on its own, and handled as the library handles it (the
// stored record, then the session start with its own requests, all answered with the input).
#include "fuzz_support.h"
#include "session/session_manager.h"
#include "settings/auth_data.h"
#include "settings/storage_helper.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto body = fuzz::bytesOf(data, size);
  const auto decoded = AuthData::decode(body);

  auto& library = fuzz::OfflineLibrary::get();
  StorageHelper::shared().removeAuthData();
  SessionManager::authWithBaseUrl("PARTNER", "SECRET", "http://service.test");
  library.answerAll(body);
  // Only an accepted answer is kept, and it is kept as it came.
  const auto stored = StorageHelper::shared().getAuthData();
  fuzz::require(stored.has_value() ==
                (decoded && decoded->responseCode == 200 && size <= 64 * 1024));
  return 0;
}
