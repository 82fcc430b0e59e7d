#include "secret/secret_generator.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tavrel_mmp::tools {
namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
  return out;
}

std::string md5Hex(const std::string& text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_md5(), nullptr);
  return hex(digest.data(), size);
}

}  // namespace

std::string makeAppSecret(const std::string& baseUrl, const std::string& partnerCode) {
  const std::string key = md5Hex(partnerCode);
  std::vector<unsigned char> plain(baseUrl.begin(), baseUrl.end());
  plain.resize((plain.size() + 15) / 16 * 16, 0);  // zero fill to whole blocks
  std::vector<unsigned char> cipher(plain.size() + 16);

  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          &EVP_CIPHER_CTX_free);
  int written = 0;
  int finalWritten = 0;
  if (!context ||
      EVP_EncryptInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()), nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(context.get(), 0) != 1 ||
      EVP_EncryptUpdate(context.get(), cipher.data(), &written, plain.data(),
                        static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(context.get(), cipher.data() + written, &finalWritten) != 1) {
    throw std::runtime_error("AES-256-ECB encryption failed");
  }
  return hex(cipher.data(), static_cast<std::size_t>(written + finalWritten));
}

}  // namespace tavrel_mmp::tools
