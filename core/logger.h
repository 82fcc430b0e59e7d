#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// Development-mode console output: one whole line "MMP: <message>" on standard output, only
// while the development flag is on. The flag starts off in every process.
class Logger {
 public:
  static void setDevMode(bool on) { devMode_.store(on, std::memory_order_relaxed); }
  static bool devMode() { return devMode_.load(std::memory_order_relaxed); }

  static void log(std::string_view message);
  static void log(const char* message) { log(std::string_view(message)); }
  static void log(const std::string& message) { log(std::string_view(message)); }
  static void log(std::int64_t number);
  static void log(double number);
  static void log(const PropertyDictionary& value);

  // Writes "<text>\n" to standard output as one write, whatever the development flag says.
  static void writeLine(std::string_view text);

 private:
  static inline std::atomic<bool> devMode_{false};
};

}  // namespace tavrel_mmp
