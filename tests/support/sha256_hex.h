#pragma once

#include <openssl/sha.h>

#include <string>

namespace tavrel_mmp::testing {

// SHA-256 in lowercase hex, straight from OpenSSL, to check the library's signature against.
inline std::string sha256Hex(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  std::string out;
  for (unsigned char byte : digest) {
    out.push_back("0123456789abcdef"[byte >> 4]);
    out.push_back("0123456789abcdef"[byte & 15]);
  }
  return out;
}

}  // namespace tavrel_mmp::testing
