#include "core/dictionary_merge.h"

namespace tavrel_mmp {

void mergeInto(PropertyDictionary& target, const PropertyDictionary& source) {
  if (!target.is_object()) target = PropertyDictionary::object();
  if (!source.is_object()) return;
  for (auto it = source.begin(); it != source.end(); ++it) target[it.key()] = it.value();
}

}  // namespace tavrel_mmp
