#pragma once

#include <cstddef>
#include <exception>
#include <string>

namespace tavrel_mmp {

// What the terminate hook tells about the exception that is ending the process.
struct ExceptionReport {
  std::string description;
  // Stable for the same exception type and message, so the service can group repeats of one
  // failure: std::hash of the mangled type name, a blank and the description.
  std::size_t hashValue = 0;
};

ExceptionReport describeException(const std::exception_ptr& exception);

// The caller's call stack as a list of frames, each as a signal report writes one (module,
// offset, build id), for the next start to name: ["pc 0x... /usr/bin/app (BuildId: ...)", ...].
std::string currentStackSymbols();

}  // namespace tavrel_mmp
