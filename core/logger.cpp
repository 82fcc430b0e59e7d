#include "core/logger.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/utf8.h"

namespace tavrel_mmp {
namespace {

constexpr std::size_t kMinSecretBytes = 8;
constexpr std::size_t kShownSecretBytes = 6;

// "<text>\n" on standard output as one write, so that lines from different threads never
// interleave.
void writeToStandardOutput(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
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

}  // namespace

void Logger::addSecret(const std::string& secret) {
  if (secret.size() < kMinSecretBytes) return;
  readers_.fetch_add(1);
  const bool known = std::any_of(secrets_.begin(), secrets_.end(), [&](const auto& slot) {
    const std::string* held = slot.load(std::memory_order_acquire);
    return held != nullptr && *held == secret;
  });
  readers_.fetch_sub(1);
  if (known) return;
  const unsigned index = nextSecret_.fetch_add(1) % secrets_.size();
  retire(secrets_[index].exchange(new std::string(secret)));
}

void Logger::retire(const std::string* secret) {
  // Every retired text was unpublished before it is taken out here; a reader that may still
  // hold one counted itself before it read the slots, so it is seen below. A text that cannot
  // be freed yet waits for a later call; one with no room to wait stays allocated.
  for (auto& slot : retired_) {
    const std::string* waiting = slot.exchange(nullptr);
    if (waiting == nullptr) continue;
    if (readers_.load() == 0) {
      delete waiting;
    } else if (const std::string* empty = nullptr; !slot.compare_exchange_strong(empty, waiting)) {
      if (secret == nullptr) secret = waiting;
    }
  }
  if (secret == nullptr) return;
  if (readers_.load() == 0) {
    delete secret;
    return;
  }
  for (auto& slot : retired_) {
    const std::string* empty = nullptr;
    if (slot.compare_exchange_strong(empty, secret)) return;
  }
}

std::string Logger::redacted(std::string text) {
  readers_.fetch_add(1);
  struct Leave {
    ~Leave() { readers_.fetch_sub(1); }
  } leave;
  for (const auto& slot : secrets_) {
    const std::string* secret = slot.load(std::memory_order_acquire);
    if (secret == nullptr) continue;
    const std::string shown =
        secret->substr(0, std::min(kShownSecretBytes, secret->size() / 3)) + "…";
    for (auto at = text.find(*secret); at != std::string::npos;
         at = text.find(*secret, at + shown.size())) {
      text.replace(at, secret->size(), shown);
    }
  }
  return text;
}

void Logger::writeLine(std::string_view text) {
  std::string line = redacted(std::string(text));
  if (const LineConsumer consumer = consumer_.load(std::memory_order_acquire)) {
    return consumer(LogLevel::error, std::move(line));
  }
  writeToStandardOutput(line);
}

void Logger::log(LogLevel level, std::string_view message) {
  if (!devMode()) return;
  std::string line = "MMP: ";
  // Messages may quote bytes from the network or the disk; the console gets well-formed text.
  if (isValidUtf8(message)) {
    line.append(message);
  } else {
    line.append(toValidUtf8(message));
  }
  line = redacted(std::move(line));
  if (const LineConsumer consumer = consumer_.load(std::memory_order_acquire)) {
    return consumer(level, std::move(line));
  }
  writeToStandardOutput(line);
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
  log(LogLevel::debug, value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace tavrel_mmp
