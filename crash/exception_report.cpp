#include "crash/exception_report.h"

#include <cxxabi.h>

#include <cstdint>
#include <functional>
#include <typeinfo>

#include "crash/signal/fixed_text.h"
#include "crash/signal/signal_report.h"
#include "crash/signal/stack_walk.h"

namespace tavrel_mmp {
namespace {

ExceptionReport makeReport(const char* typeName, std::string description) {
  const std::string hashInput = std::string(typeName ? typeName : "") + " " + description;
  return {std::move(description), std::hash<std::string>{}(hashInput)};
}

void appendQuoted(std::string& out, std::string_view frame) {
  out.push_back('"');
  for (const char c : frame) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
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
  std::uintptr_t frames[StackWalk::kMaximumFrames];
  const int count = StackWalk::here(frames, StackWalk::kMaximumFrames);
  std::string out = "[";
  for (int i = 0; i < count; ++i) {
    char line[512];
    FixedText frame(line, sizeof line);
    SignalReport::appendFrame(frame, frames[i]);
    if (i > 0) out.append(", ");
    appendQuoted(out, frame.view());
  }
  out.push_back(']');
  return out;
}

}  // namespace tavrel_mmp
