#include "core/logger.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "core/utf8.h"

namespace tavrel_mmp {

void Logger::writeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  // One write per line, so that lines from different threads never interleave.
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void Logger::log(std::string_view message) {
  if (!devMode()) return;
  std::string line = "MMP: ";
  // Messages may quote bytes from the network or the disk; the console gets well-formed text.
  if (isValidUtf8(message)) {
    line.append(message);
  } else {
    line.append(toValidUtf8(message));
  }
  writeLine(line);
}

void Logger::log(std::int64_t number) {
  if (!devMode()) return;
  log(std::to_string(number));
}

void Logger::log(double number) {
  if (!devMode()) return;
  log(nlohmann::json(number).dump());
}

void Logger::log(const PropertyDictionary& value) {
  if (!devMode()) return;
  log(value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace tavrel_mmp
