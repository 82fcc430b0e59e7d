#pragma once

#include <algorithm>
#include <cctype>
#include <string>

namespace tavrel_mmp::tools {

inline std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Pseudo-headers httplib adds about the peer; they were not sent by the client.
inline bool isConnectionInfo(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

}  // namespace tavrel_mmp::tools
