#pragma once

#include <nlohmann/json.hpp>

namespace tavrel_mmp {

/// The property dictionary: text keys to JSON-representable values. Every request body,
/// event payload and device description is one, and it serialises to a JSON object.
/// A value used as a dictionary is expected to be a JSON object; code that receives one
/// from the host checks that before relying on it.
using PropertyDictionary = nlohmann::json;

}  // namespace tavrel_mmp
