// The deep-link answers: a link request's (created or shortened link) and the deferred deep
// link's verification, the latter handled as the library handles it after `getUDL`.
#include "deeplink/deep_link_result_answer.h"
#include "fuzz_support.h"
#include "tavrel_mmp/deep_link_handler.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto body = fuzz::bytesOf(data, size);
  interpretDeepLinkAnswer(body, std::nullopt);

  auto& library = fuzz::OfflineLibrary::get();
  DeepLinkHandler::setHandleDeeplink([](const std::string&) {});
  DeepLinkHandler::getUDL();
  library.answerAll(body);
  return 0;
}
