#include "crash/crash_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "crash/signal/record_format.h"

namespace tavrel_mmp {
namespace {

using record_format::kEndMarker;
using record_format::kMagic;
constexpr std::string_view kPrefix = "tavrel_mmp_crash.";
constexpr std::string_view kSuffix = ".rec";
// Far beyond any real record (an exception text with a few hundred frames); a bigger file is
// not ours to read.
constexpr off_t kMaximumFileSize = 4 * 1024 * 1024;

// Reads one decimal length followed by `separator`; advances `rest` past both.
std::optional<std::size_t> readLength(std::string_view& rest, char separator) {
  std::size_t value = 0;
  const char* begin = rest.data();
  const char* end = rest.data() + rest.size();
  const auto [next, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || next == begin || next == end || *next != separator) {
    return std::nullopt;
  }
  rest.remove_prefix(static_cast<std::size_t>(next - begin) + 1);
  return value;
}

}  // namespace

std::string CrashFile::fileNameFor(pid_t pid, std::uint64_t tag) {
  char hex[17];
  std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(tag));
  return std::string(kPrefix) + std::to_string(pid) + "." + hex + std::string(kSuffix);
}

bool CrashFile::isCrashFileName(std::string_view name) {
  if (name == kLegacyFileName) return true;
  return name.size() > kPrefix.size() + kSuffix.size() && name.starts_with(kPrefix) &&
         name.ends_with(kSuffix);
}

std::string CrashFile::encode(const CrashRecord& record) {
  // Room for the header's two lengths and the marker.
  std::string bytes(
      kMagic.size() + 48 + record.text.size() + record.hash.size() + kEndMarker.size(), '\0');
  FixedText out(bytes.data(), bytes.size());
  record_format::append(out, record.text, record.hash);
  bytes.resize(out.size());
  return bytes;
}

std::optional<CrashRecord> CrashFile::decode(std::string_view bytes) {
  if (bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  std::string_view rest = bytes.substr(kMagic.size());
  const auto textLength = readLength(rest, ' ');
  if (!textLength) return std::nullopt;
  const auto hashLength = readLength(rest, '\n');
  if (!hashLength) return std::nullopt;
  // Exactly the announced payload and the marker: shorter is cut off, longer is not ours.
  if (*textLength > rest.size() || *hashLength > rest.size() - *textLength ||
      rest.size() - *textLength - *hashLength != kEndMarker.size()) {
    return std::nullopt;
  }
  if (rest.substr(*textLength + *hashLength) != kEndMarker) return std::nullopt;
  return CrashRecord{std::string(rest.substr(0, *textLength)),
                     std::string(rest.substr(*textLength, *hashLength))};
}

std::optional<std::string> CrashFile::readAll(int fd) {
  struct stat facts {};
  if (::fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_size > kMaximumFileSize) {
    return std::nullopt;
  }
  std::string content;
  char buffer[8192];
  for (off_t offset = 0;;) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
    offset += n;
    if (content.size() > static_cast<std::size_t>(kMaximumFileSize)) return std::nullopt;
  }
}

}  // namespace tavrel_mmp
