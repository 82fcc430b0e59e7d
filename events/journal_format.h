#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "events/event_data.h"

namespace tavrel_mmp::journal {

// The bytes of an event journal: records appended one after another, each framed so that a
// reader tells a whole record from a torn or damaged one:
//   magic (4 bytes) | payload length (4) | CRC-32C of the length and the payload (4) | payload
// all integers little-endian. A payload is an event (its seven columns) or a forget mark: every
// event before the mark belongs to a forgotten installation. A record whose append did not
// finish belongs to a call that never returned; it and any damaged bytes are skipped, and
// reading goes on at the next whole record.

// A record never grows past this; a length above it is damage.
inline constexpr std::size_t kMaxPayloadBytes = std::size_t{32} << 20;

// Appends the framed record of `event` (or of a forget mark) to `out`.
void appendEvent(std::string& out, const EventData& event);
void appendForgetMark(std::string& out);

struct Contents {
  EventList events;              // after the last forget mark, in the order appended
  bool forgotten = false;        // a forget mark was read: what was stored before it goes too
  std::size_t records = 0;       // whole records read, marks included
  std::size_t skippedBytes = 0;  // damaged or torn bytes passed over
};

Contents read(std::string_view bytes);

// CRC-32C (Castagnoli) of `bytes`, continuing from `crc` (0 to start).
std::uint32_t crc32c(std::string_view bytes, std::uint32_t crc = 0);

}  // namespace tavrel_mmp::journal
