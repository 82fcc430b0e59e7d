#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The member `key` of a host dictionary when it is text, otherwise "" (also when `dictionary`
// is not an object at all).
std::string textMemberOrEmpty(const PropertyDictionary& dictionary, const char* key);

// The dictionaries of the records, in order; a null record (host input) is skipped.
template <class Record>
std::vector<PropertyDictionary> dictionariesOf(
    const std::vector<std::shared_ptr<Record>>& records) {
  std::vector<PropertyDictionary> out;
  out.reserve(records.size());
  for (const auto& record : records) {
    if (record) out.push_back(record->toDictionary());
  }
  return out;
}

// The records made from the dictionaries, in order, keeping only those whose identifier (the
// member `identifier` points to) is not empty.
template <class Record>
std::vector<std::shared_ptr<Record>> recordsWithIdentifier(
    const std::vector<PropertyDictionary>& list, std::string Record::*identifier) {
  std::vector<std::shared_ptr<Record>> out;
  for (const auto& dictionary : list) {
    auto record = Record::fromDictionary(dictionary);
    if (!((*record).*identifier).empty()) out.push_back(std::move(record));
  }
  return out;
}

}  // namespace tavrel_mmp
