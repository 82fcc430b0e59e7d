#pragma once

#include <cstddef>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// How deeply host data may nest. Serialising, copying and logging a JSON value all recurse, so
// a value nested far deeper (a hundred thousand levels) would overflow the stack; such data is
// refused before anything recursive touches it.
inline constexpr std::size_t kMaxJsonDepth = 512;

// Whether `value` nests containers deeper than `limit` levels; walks without recursion.
bool nestedDeeperThan(const nlohmann::json& value, std::size_t limit = kMaxJsonDepth);

}  // namespace tavrel_mmp
