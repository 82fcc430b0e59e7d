#include "commerce/dictionary_reading.h"

namespace tavrel_mmp {

std::string textMemberOrEmpty(const PropertyDictionary& dictionary, const char* key) {
  if (!dictionary.is_object()) return "";
  const auto it = dictionary.find(key);
  if (it == dictionary.end() || !it->is_string()) return "";
  return it->get<std::string>();
}

}  // namespace tavrel_mmp
