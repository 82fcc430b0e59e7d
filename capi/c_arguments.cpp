#include "capi/c_arguments.h"

#include "core/utf8.h"

namespace tavrel_mmp::capi {
namespace {

void report(CallSite site, const char* name, const std::string& problem, const char* outcome) {
  Logger::warning(std::string(site.function) + ": " + name + " " + problem + "; " + outcome);
}

}  // namespace

std::string textArgument(CallSite site, const char* name, const char* text) {
  if (text == nullptr) {
    report(site, name, "is NULL", "taken as empty");
    return "";
  }
  std::string value(text);
  if (!isValidUtf8(value)) {
    report(site, name, "is not UTF-8", "taken as empty");
    return "";
  }
  return value;
}

std::optional<PropertyDictionary> jsonArgument(CallSite site, const char* name, const char* text,
                                               JsonShape shape, bool nullMeansNone) {
  constexpr const char* kOutcome = "taken as absent";
  if (text == nullptr) {
    if (!nullMeansNone) report(site, name, "is NULL", kOutcome);
    return std::nullopt;
  }
  const std::string_view bytes(text);
  if (!isValidUtf8(bytes)) {
    report(site, name, "is not UTF-8", kOutcome);
    return std::nullopt;
  }
  // Parsing does not recurse, however deeply the text nests; the readers of each value refuse
  // what is too deep for them before they recurse.
  PropertyDictionary value = PropertyDictionary::parse(bytes, nullptr, false);
  if (value.is_discarded()) {
    report(site, name, "is not JSON", kOutcome);
    return std::nullopt;
  }
  const bool fits = shape == JsonShape::object ? value.is_object() : value.is_array();
  if (!fits) {
    report(site, name, shape == JsonShape::object ? "is not a JSON object" : "is not a JSON array",
           kOutcome);
    return std::nullopt;
  }
  return value;
}

}  // namespace tavrel_mmp::capi
