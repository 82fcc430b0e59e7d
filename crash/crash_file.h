#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrel_mmp {

// A crash record as it travels from the dying process to the next start.
struct CrashRecord {
  std::string text;
  std::string hash;
};

// The files fatal handlers leave in the documents directory, one per process, in the form
// `record_format` describes: a file cut short is recognised and never read as a record.
class CrashFile {
 public:
  // The one file that versions before per-process files used.
  static constexpr const char* kLegacyFileName = "tavrel_mmp_crash.rec";

  // "tavrel_mmp_crash.<pid>.<tag in hex>.rec"
  static std::string fileNameFor(pid_t pid, std::uint64_t tag);
  // A per-process name or the legacy one.
  static bool isCrashFileName(std::string_view name);

  static std::string encode(const CrashRecord& record);
  // None unless the bytes are exactly one complete record.
  static std::optional<CrashRecord> decode(std::string_view bytes);
  // The whole content of an open file; none when it cannot be read or is far larger than any
  // record.
  static std::optional<std::string> readAll(int fd);
};

}  // namespace tavrel_mmp
