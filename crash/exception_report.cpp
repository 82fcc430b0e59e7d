#include "crash/exception_report.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <functional>
#include <typeinfo>

namespace tavrel_mmp {
namespace {

constexpr int kMaximumFrames = 128;

ExceptionReport makeReport(const char* typeName, std::string description) {
  const std::string hashInput = std::string(typeName ? typeName : "") + " " + description;
  return {std::move(description), std::hash<std::string>{}(hashInput)};
}

void appendQuoted(std::string& out, const char* frame) {
  out.push_back('"');
  for (const char* c = frame; *c != '\0'; ++c) {
    if (*c == '"' || *c == '\\') out.push_back('\\');
    out.push_back(*c);
  }
  out.push_back('"');
}

}  // namespace

ExceptionReport describeException(const std::exception_ptr& exception) {
  if (!exception) return makeReport("", "terminate called without an active exception");
  try {
    std::rethrow_exception(exception);
  } catch (const std::exception& error) {
    return makeReport(typeid(error).name(), error.what());
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return makeReport(type ? type->name() : "",
                      "exception of a type not derived from std::exception");
  }
}

std::string currentStackSymbols() {
  void* frames[kMaximumFrames];
  const int count = ::backtrace(frames, kMaximumFrames);
  char** symbols = ::backtrace_symbols(frames, count);
  std::string out = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) out.append(", ");
    appendQuoted(out, symbols ? symbols[i] : "?");
  }
  out.push_back(']');
  std::free(symbols);
  return out;
}

}  // namespace tavrel_mmp
