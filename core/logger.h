#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "tavrel_mmp/property_dictionary.h"

namespace tavrel_mmp {

// How much a line matters to whoever reads the library's output; the values are those of the
// public log sink.
enum class LogLevel : int { error = 0, warning = 1, info = 2, debug = 3 };

// Development-mode output: one whole line "MMP: <message>" on standard output (or to the host's
// log sink), only while the development flag is on. The flag starts off in every process.
// Request and answer bodies, headers and the tracker's inner steps are debug lines; failures
// that lose or hold back data are warnings or errors; the rest is information.
class Logger {
 public:
  // Takes each line instead of standard output; installed by the host's log sink. Called on the
  // thread that logs, so it must hand the line on without waiting for anything.
  using LineConsumer = void (*)(LogLevel level, std::string line);

  static void setDevMode(bool on) { devMode_.store(on, std::memory_order_relaxed); }
  static bool devMode() { return devMode_.load(std::memory_order_relaxed); }
  static void setConsumer(LineConsumer consumer) {
    consumer_.store(consumer, std::memory_order_release);
  }

  static void log(LogLevel level, std::string_view message);
  static void log(std::string_view message) { log(LogLevel::info, message); }
  static void log(const char* message) { log(std::string_view(message)); }
  static void log(const std::string& message) { log(std::string_view(message)); }
  static void log(std::int64_t number);
  static void log(double number);
  // A body or record: a debug line, rendered readably.
  static void log(const PropertyDictionary& value);
  static void error(std::string_view message) { log(LogLevel::error, message); }
  static void warning(std::string_view message) { log(LogLevel::warning, message); }
  static void debug(std::string_view message) { log(LogLevel::debug, message); }

  // A session token or app secret: no line carries it whole from now on, only its first few
  // characters. Texts shorter than 8 bytes are too short to tell apart from words and are
  // not registered.
  static void addSecret(const std::string& secret);
  // `text` with every registered secret cut to its short prefix.
  static std::string redacted(std::string text);

  // Writes "<text>" as one line whatever the development flag says (to the consumer, if one is
  // installed, as an error line).
  static void writeLine(std::string_view text);

 private:
  static inline std::atomic<bool> devMode_{false};
  static inline std::atomic<LineConsumer> consumer_{nullptr};
  // Registered secrets, newest replacing the oldest. Read without a lock (a forked child may
  // log at any moment): readers count themselves in `readers_` while they hold the texts, and a
  // replaced text waits in `retired_` until a moment when no reader is counted.
  static void retire(const std::string* secret);
  static inline std::array<std::atomic<const std::string*>, 8> secrets_{};
  static inline std::array<std::atomic<const std::string*>, 8> retired_{};
  static inline std::atomic<unsigned> nextSecret_{0};
  static inline std::atomic<unsigned> readers_{0};
};

}  // namespace tavrel_mmp
