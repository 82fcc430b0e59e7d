#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace tavrel_mmp::tools {

// A text member of a JSON object; empty when it is missing or not text.
inline std::string textMember(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return "";
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

// How much of one payload the page is sent; the rest is left out and said to be.
inline constexpr std::size_t kShownPayloadBytes = 64u << 10;

inline std::string cutForPage(std::string text) {
  if (text.size() > kShownPayloadBytes) {
    text.resize(kShownPayloadBytes);
    text += "\n\u2026 (cut: the page shows the first 64 KiB)";
  }
  return text;
}

// JSON as the live page shows it: indented, cut at kShownPayloadBytes. What the clients sent
// need not be UTF-8.
inline std::string indentedForPage(const nlohmann::json& value) {
  return cutForPage(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace tavrel_mmp::tools
