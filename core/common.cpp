#include "core/common.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/logger.h"
#include "core/utf8.h"

namespace tavrel_mmp {
namespace {

std::string toHex(const unsigned char* bytes, std::size_t size) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(size * 2, '0');
  for (std::size_t i = 0; i < size; ++i) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0x0F];
  }
  return out;
}

std::string digestHex(const EVP_MD* md, const std::string& text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, md, nullptr);
  return toHex(digest.data(), size);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<unsigned char>> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::vector<unsigned char> out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int high = hexValue(text[2 * i]);
    const int low = hexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return out;
}

std::string openSslErrorText(const char* fallback) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

// Length of the Unicode white-space or line-break character that starts (or, with `atEnd`,
// ends) the valid UTF-8 text `s`, or 0.
std::size_t whitespaceAt(const std::string& s, std::size_t pos) {
  static const char* const multiByte[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
      "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
      "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  const char c = s[pos];
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  for (const char* ws : multiByte) {
    const std::size_t n = std::char_traits<char>::length(ws);
    if (s.compare(pos, n, ws) == 0) return n;
  }
  return 0;
}

std::string trimWhitespace(const std::string& s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    const std::size_t n = whitespaceAt(s, begin);
    if (n == 0) break;
    begin += n;
  }
  std::size_t end = s.size();
  while (end > begin) {
    // Step back over one UTF-8 character.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    const std::size_t n = whitespaceAt(s, start);
    if (n == 0 || start + n != end) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

}  // namespace

std::string Common::md5(const std::string& text) {
  return digestHex(EVP_md5(), text);
}

std::string Common::sha256(const std::string& text) {
  return digestHex(EVP_sha256(), text);
}

std::string Common::decrypt(const std::string& encrypted, const std::string& key) {
  const std::string keyText = md5(key);  // the 32 hex characters are the AES-256 key
  const auto ciphertext = fromHex(encrypted);
  if (!ciphertext) {
    Logger::log("error the encrypted text is not hexadecimal");
    return "";
  }
  if (ciphertext->size() % 16 != 0) {
    Logger::log("error the encrypted data is not a whole number of 16-byte blocks");
    return "";
  }

  std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> context(EVP_CIPHER_CTX_new());
  std::vector<unsigned char> plain(ciphertext->size() + 16);
  int written = 0;
  int finalWritten = 0;
  const bool ok =
      context &&
      EVP_DecryptInit_ex(context.get(), EVP_aes_256_ecb(), nullptr,
                         reinterpret_cast<const unsigned char*>(keyText.data()), nullptr) == 1 &&
      EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
      EVP_DecryptUpdate(context.get(), plain.data(), &written, ciphertext->data(),
                        static_cast<int>(ciphertext->size())) == 1 &&
      EVP_DecryptFinal_ex(context.get(), plain.data() + written, &finalWritten) == 1;
  if (!ok) {
    Logger::log("error " + openSslErrorText("decryption failed"));
    return "";
  }
  std::string text(reinterpret_cast<const char*>(plain.data()),
                   static_cast<std::size_t>(written + finalWritten));
  if (!isValidUtf8(text)) return "";
  // Trim first, then drop the zero fill: white space just before the fill is kept.
  std::string trimmed = trimWhitespace(text);
  trimmed.erase(std::remove(trimmed.begin(), trimmed.end(), '\0'), trimmed.end());
  return trimmed;
}

}  // namespace tavrel_mmp
