#pragma once

/// @file
/// JSON serialisation and parsing: nlohmann/json, which is also the property dictionary.
#include "tavrel_mmp/property_dictionary.h"
