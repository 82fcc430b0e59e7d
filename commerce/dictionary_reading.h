#pragma once

#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The member `key` of a host dictionary when it is text, otherwise "" (also when `dictionary`
// is not an object at all).
std::string textMemberOrEmpty(const PropertyDictionary& dictionary, const char* key);

}  // namespace tavrel_mmp
