#pragma once

#include <exception>
#include <optional>
#include <string>

#include "core/logger.h"
#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp::capi {

// The C function a call came in through, for the development lines about its arguments.
struct CallSite {
  const char* function;
};

// A required text: NULL or text that is not UTF-8 is reported and read as "".
std::string textArgument(CallSite site, const char* name, const char* text);

enum class JsonShape { object, array };

// A JSON argument of the given shape. NULL is none, silently where `nullMeansNone`; text that is
// not UTF-8, not JSON or of another shape is reported and read as none.
std::optional<PropertyDictionary> jsonArgument(CallSite site, const char* name, const char* text,
                                               JsonShape shape, bool nullMeansNone);

// Runs one C entry point's work: nothing thrown crosses into the host's language.
template <class Work>
void atBoundary(CallSite site, Work work) noexcept {
  try {
    work();
  } catch (const std::exception& e) {
    Logger::error(std::string(site.function) + ": unexpected failure: " + e.what());
  } catch (...) {
    Logger::error(std::string(site.function) + ": unexpected failure");
  }
}

}  // namespace tavrel_mmp::capi
