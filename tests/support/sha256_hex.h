#pragma once

#include <openssl/sha.h>

#include <string>

namespace tavrel_mmp::testing {

// Lowercase hexadecimal of raw bytes.
inline std::string hexOf(const std::string& bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char byte : bytes) {
    out.push_back(digits[byte >> 4]);
    out.push_back(digits[byte & 15]);
  }
  return out;
}

// SHA-256 in lowercase hex, straight from OpenSSL, to check the library's signature against.
inline std::string sha256Hex(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return hexOf(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace tavrel_mmp::testing
