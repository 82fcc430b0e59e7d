// The app secret's decryption: the partner code up to the first newline, the secret after it.
#include "core/common.h"
#include "core/utf8.h"
#include "fuzz_support.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [key, secret] = fuzz::splitAt(fuzz::textOf(data, size), '\n');
  const std::string baseUrl = Common::decrypt(std::string(secret), std::string(key));
  fuzz::require(isValidUtf8(baseUrl) && baseUrl.find('\0') == std::string::npos);
  return 0;
}
