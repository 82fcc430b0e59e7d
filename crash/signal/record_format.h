#pragma once

// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.

#include <cstddef>
#include <string_view>

#include "crash/signal/fixed_text.h"

namespace tavrel_mmp {

// The bytes of a crash file: "TVRMMP-CRASH/1 <text length> <hash length>\n", the text, the
// hash and an end marker. The lengths up front and the marker at the end let a reader tell a
// file cut short (the process killed mid-write, a full disk) from a record.
namespace record_format {

inline constexpr std::string_view kMagic = "TVRMMP-CRASH/1 ";
inline constexpr std::string_view kEndMarker = "\nTVRMMP-END\n";

// Everything before the text.
inline void appendHeader(FixedText& out, std::size_t textSize, std::size_t hashSize) {
  out.text(kMagic)
      .decimal(static_cast<long long>(textSize))
      .character(' ')
      .decimal(static_cast<long long>(hashSize))
      .character('\n');
}

// The whole record; false when it did not fit.
inline bool append(FixedText& out, std::string_view text, std::string_view hash) {
  appendHeader(out, text.size(), hash.size());
  out.text(text).text(hash).text(kEndMarker);
  return !out.full();
}

}  // namespace record_format
}  // namespace tavrel_mmp
