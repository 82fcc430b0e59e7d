#include <openssl/evp.h>

#include <array>

#include "local_service/local_service.h"

namespace tavrel_mmp::tools {
namespace {

constexpr const char* kSalt = "KPVXRTE@BHMWQZLYN";

std::string sha256Hex(const std::string& text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr);
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(digits[digest[i] >> 4]);
    out.push_back(digits[digest[i] & 0x0F]);
  }
  return out;
}

}  // namespace

std::string expectedSignature(const std::string& partnerCode, const std::string& appId,
                              const std::string& deviceId, const std::string& t) {
  const std::string h = sha256Hex(partnerCode + appId + deviceId + t + kSalt);
  return h.substr(h.size() - 10) + h.substr(0, 10);
}

}  // namespace tavrel_mmp::tools
