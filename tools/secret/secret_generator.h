#pragma once

#include <string>

namespace tavrel_mmp::tools {

// Makes an app secret: the base URL enciphered under the partner code with AES-256-ECB, the key
// being the 32 ASCII bytes of md5(partnerCode) in lowercase hex, the plaintext zero-filled to a
// whole number of 16-byte blocks, rendered as lowercase hexadecimal.
std::string makeAppSecret(const std::string& baseUrl, const std::string& partnerCode);

}  // namespace tavrel_mmp::tools
