#pragma once

#include <string>

namespace tavrel_mmp {

class Common {
 public:
  // 32 lowercase hexadecimal digits of the MD5 of the text's UTF-8 bytes.
  static std::string md5(const std::string& text);
  // 64 lowercase hexadecimal digits of the SHA-256 of the text's UTF-8 bytes.
  static std::string sha256(const std::string& text);
  // The base URL hidden in an app secret: AES-256-ECB (no padding) under the 32 ASCII bytes of
  // md5(key), read as UTF-8, trimmed, NULs removed. The empty text on any failure.
  static std::string decrypt(const std::string& encrypted, const std::string& key);
};

}  // namespace tavrel_mmp
