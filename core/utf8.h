#pragma once

#include <string>
#include <string_view>

namespace tavrel_mmp {

bool isValidUtf8(std::string_view bytes);
// The text with every ill-formed sequence replaced by U+FFFD.
std::string toValidUtf8(std::string_view bytes);

}  // namespace tavrel_mmp
