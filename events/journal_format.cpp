#include "events/journal_format.h"

#include <array>
#include <cstring>
#include <optional>

namespace tavrel_mmp::journal {
namespace {

constexpr std::uint32_t kMagic = 0x4A52'7654;  // "TvRJ" in the file
constexpr std::size_t kHeaderBytes = 12;
constexpr char kEventKind = 'E';
constexpr char kForgetKind = 'F';

constexpr std::array<std::uint32_t, 256> makeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F6'3B78u & (0u - (crc & 1u)));
    table[i] = crc;
  }
  return table;
}
constexpr auto kCrcTable = makeCrcTable();

void putU32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

void putI64(std::string& out, std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>(bits >> shift));
}

void putText(std::string& out, std::string_view text) {
  putU32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
}

std::uint32_t getU32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Reads a payload front to back; any read past its end fails the whole payload.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes) : rest_(bytes) {}

  std::optional<std::uint64_t> fixed(std::size_t width) {
    if (rest_.size() < width) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(rest_[i]);
    rest_.remove_prefix(width);
    return value;
  }

  std::optional<std::string> text() {
    const auto size = fixed(4);
    if (!size || rest_.size() < *size) return std::nullopt;
    std::string out(rest_.substr(0, *size));
    rest_.remove_prefix(*size);
    return out;
  }

  bool atEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

void setU32(std::string& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

// Frames the payload already appended to `out` after room for the header at `start`.
void frame(std::string& out, std::size_t start) {
  const auto length = static_cast<std::uint32_t>(out.size() - start - kHeaderBytes);
  setU32(out, start, kMagic);
  setU32(out, start + 4, length);
  const std::string_view bytes(out);
  setU32(out, start + 8,
         crc32c(bytes.substr(start + kHeaderBytes), crc32c(bytes.substr(start + 4, 4))));
}

std::shared_ptr<EventData> decodeEvent(Cursor& cursor) {
  auto id = cursor.text();
  auto key = cursor.text();
  const auto time = cursor.fixed(8);
  auto sessionId = cursor.text();
  const auto realtime = cursor.fixed(1);
  auto data = cursor.text();
  auto preEvent = cursor.text();
  if (!preEvent || !data || !realtime || !sessionId || !time || !key || !id || !cursor.atEnd()) {
    return nullptr;
  }
  return std::make_shared<EventData>(std::move(*id), std::move(*key),
                                     static_cast<std::int64_t>(*time), std::move(*sessionId),
                                     *realtime != 0, std::move(*data), std::move(*preEvent));
}

#if defined(__x86_64__)
// The processor's own CRC-32C instruction, where it has one: recording pays for every byte.
__attribute__((target("sse4.2"))) std::uint32_t crc32cHardware(std::string_view bytes,
                                                               std::uint32_t crc) {
  std::uint64_t state = ~crc;
  std::size_t at = 0;
  for (; at + 8 <= bytes.size(); at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes.data() + at, 8);
    state = __builtin_ia32_crc32di(state, word);
  }
  auto narrow = static_cast<std::uint32_t>(state);
  for (; at < bytes.size(); ++at) {
    narrow = __builtin_ia32_crc32qi(narrow, static_cast<unsigned char>(bytes[at]));
  }
  return ~narrow;
}
bool hardwareCrc() {
  static const bool supported = (__builtin_cpu_init(), __builtin_cpu_supports("sse4.2") != 0);
  return supported;
}
#endif

}  // namespace

std::uint32_t crc32c(std::string_view bytes, std::uint32_t crc) {
#if defined(__x86_64__)
  if (hardwareCrc()) return crc32cHardware(bytes, crc);
#endif
  crc = ~crc;
  for (const char byte : bytes) {
    crc = kCrcTable[(crc ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (crc >> 8);
  }
  return ~crc;
}

void appendEvent(std::string& out, const EventData& event) {
  const std::size_t start = out.size();
  out.append(kHeaderBytes, '\0');
  out.push_back(kEventKind);
  putText(out, event.id);
  putText(out, event.key);
  putI64(out, event.time);
  putText(out, event.sessionId);
  out.push_back(event.realtime ? 1 : 0);
  putText(out, event.data);
  putText(out, event.preEvent);
  frame(out, start);
}

void appendForgetMark(std::string& out) {
  const std::size_t start = out.size();
  out.append(kHeaderBytes, '\0');
  out.push_back(kForgetKind);
  frame(out, start);
}

Contents read(std::string_view bytes) {
  Contents contents;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::size_t left = bytes.size() - at;
    bool whole = left >= kHeaderBytes && getU32(bytes, at) == kMagic;
    std::uint32_t length = 0;
    if (whole) {
      length = getU32(bytes, at + 4);
      whole = length > 0 && length <= kMaxPayloadBytes && length <= left - kHeaderBytes &&
              getU32(bytes, at + 8) ==
                  crc32c(bytes.substr(at + kHeaderBytes, length), crc32c(bytes.substr(at + 4, 4)));
    }
    if (!whole) {
      // Damage or a torn tail: on to the next byte that may start a record.
      ++at;
      ++contents.skippedBytes;
      continue;
    }
    const std::string_view payload = bytes.substr(at + kHeaderBytes, length);
    at += kHeaderBytes + length;
    Cursor cursor(payload.substr(1));
    if (payload[0] == kForgetKind && cursor.atEnd()) {
      contents.events.clear();
      contents.forgotten = true;
      ++contents.records;
    } else if (auto event = payload[0] == kEventKind ? decodeEvent(cursor) : nullptr) {
      contents.events.push_back(std::move(event));
      ++contents.records;
    } else {
      contents.skippedBytes += kHeaderBytes + length;  // a whole record of no kind we know
    }
  }
  return contents;
}

}  // namespace tavrel_mmp::journal
