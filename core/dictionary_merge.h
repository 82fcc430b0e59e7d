#pragma once

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The dictionary merge: every entry of `source` is set in `target`, the source winning on equal
// keys. (nlohmann's own `+=` appends to arrays, so the merge carries a name of its own.) A target
// that is not an object becomes an empty object first; a source that is not an object adds
// nothing.
void mergeInto(PropertyDictionary& target, const PropertyDictionary& source);

}  // namespace tavrel_mmp
