#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tavrel_mmp {

// Text built in a buffer the caller owns. What does not fit is cut off, never written past the
// end.
class FixedText {
 public:
  FixedText(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  FixedText& text(std::string_view part) {
    const std::size_t room = capacity_ - size_;
    const std::size_t length = part.size() < room ? part.size() : room;
    std::memcpy(buffer_ + size_, part.data(), length);
    size_ += length;
    full_ = full_ || length < part.size();
    return *this;
  }
  FixedText& character(char c) { return text(std::string_view(&c, 1)); }

  FixedText& decimal(long long value) {
    if (value < 0) {
      character('-');
      return digits(0 - static_cast<unsigned long long>(value), 10, 1);
    }
    return digits(static_cast<unsigned long long>(value), 10, 1);
  }
  // Lowercase, without a prefix, at least `width` digits.
  FixedText& hex(std::uint64_t value, int width = 1) { return digits(value, 16, width); }

  std::string_view view() const { return {buffer_, size_}; }
  std::size_t size() const { return size_; }
  // Something was cut off.
  bool full() const { return full_; }

 private:
  FixedText& digits(unsigned long long value, unsigned base, int width) {
    char reversed[24];
    int count = 0;
    do {
      reversed[count++] = "0123456789abcdef"[value % base];
      value /= base;
    } while (value != 0 && count < 24);
    while (count < width && count < 24) reversed[count++] = '0';
    while (count > 0) character(reversed[--count]);
    return *this;
  }

  char* buffer_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool full_ = false;
};

}  // namespace tavrel_mmp
