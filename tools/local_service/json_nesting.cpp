#include "local_service/json_nesting.h"

namespace tavrel_mmp::tools {

bool nestsDeeperThan(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return true;
        break;
      case ']':
      case '}':
        // Unbalanced closers make the text invalid; the parser refuses it then.
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

nlohmann::json parseBodyOrNull(std::string_view text) {
  if (nestsDeeperThan(text)) return nullptr;
  nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  return parsed.is_discarded() ? nlohmann::json(nullptr) : parsed;
}

}  // namespace tavrel_mmp::tools
