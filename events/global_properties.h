#pragma once

#include <optional>
#include <string>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// The few values a host wants on every event of its own (build, platform, A/B group), kept in
// the preferences store across starts. They are merged into a host event's data before its
// record is built, the event's own values winning on equal keys; the library's own events never
// carry them.
class GlobalProperties {
 public:
  // Adds a copy of the entries of `properties` (an object), replacing those of equal keys.
  static void set(const PropertyDictionary& properties);
  static void unset(const std::string& key);

  // The data a host event is recorded with, when it differs from `data`: the global properties
  // under the event's own values, and "nbRealtime" when `realtime`. None when `data` goes as it
  // stands: nothing to add, data that is not a dictionary, or data nested too deeply to be
  // copied (the recorder refuses it as it is).
  static std::optional<PropertyDictionary> forHostEvent(const PropertyDictionary& data,
                                                        bool realtime);
};

}  // namespace tavrel_mmp
