#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavrel_mmp {

// A crash record as it travels from the dying process to the next start.
struct CrashRecord {
  std::string text;
  std::string hash;
};

// The file a fatal handler leaves in the documents directory. Its bytes carry the lengths up
// front and an end marker, so that a file cut short (the process killed mid-write, a full disk)
// is recognised and never read as a record.
class CrashFile {
 public:
  static constexpr const char* kFileName = "tavrel_mmp_crash.rec";

  static std::string pathIn(const std::string& directory);
  static std::string encode(const CrashRecord& record);
  // None unless the bytes are exactly one complete record.
  static std::optional<CrashRecord> decode(std::string_view bytes);

  enum class Found { nothing, complete, damaged };
  struct Taken {
    Found found = Found::nothing;
    std::optional<CrashRecord> record;
  };
  // Reads and removes the file at `path`. An empty file (a process that ended without a
  // crash) is `nothing`; anything that is not one complete record is `damaged`.
  static Taken take(const std::string& path);
};

}  // namespace tavrel_mmp
