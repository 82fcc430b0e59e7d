#include "crash/crash_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace tavrel_mmp {
namespace {

constexpr std::string_view kMagic = "TVRMMP-CRASH/1 ";
constexpr std::string_view kEndMarker = "\nTVRMMP-END\n";
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

std::optional<std::string> readWhole(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  struct stat facts {};
  if (::fstat(fd, &facts) == 0 && S_ISREG(facts.st_mode) && facts.st_size <= kMaximumFileSize) {
    std::string content;
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        content.clear();
        break;
      }
      if (n == 0) {
        bytes = std::move(content);
        break;
      }
      content.append(buffer, static_cast<std::size_t>(n));
      if (content.size() > static_cast<std::size_t>(kMaximumFileSize)) break;
    }
  }
  ::close(fd);
  return bytes;
}

}  // namespace

std::string CrashFile::pathIn(const std::string& directory) {
  return directory + "/" + kFileName;
}

std::string CrashFile::encode(const CrashRecord& record) {
  std::string bytes;
  bytes.reserve(kMagic.size() + 24 + record.text.size() + record.hash.size() + kEndMarker.size());
  bytes.append(kMagic);
  bytes.append(std::to_string(record.text.size()));
  bytes.push_back(' ');
  bytes.append(std::to_string(record.hash.size()));
  bytes.push_back('\n');
  bytes.append(record.text);
  bytes.append(record.hash);
  bytes.append(kEndMarker);
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

CrashFile::Taken CrashFile::take(const std::string& path) {
  struct stat facts {};
  if (::lstat(path.c_str(), &facts) != 0) return {};
  const std::optional<std::string> bytes = readWhole(path);
  ::unlink(path.c_str());
  if (bytes && bytes->empty()) return {};
  if (!bytes) return {Found::damaged, std::nullopt};
  std::optional<CrashRecord> record = decode(*bytes);
  if (!record) return {Found::damaged, std::nullopt};
  return {Found::complete, std::move(record)};
}

}  // namespace tavrel_mmp
