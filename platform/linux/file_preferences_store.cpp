#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "core/logger.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp::platform {
namespace {

// File layout: "TMMPPREF", format version, entry count, then per entry a kind byte ('t' text,
// 'b' bytes), key length, key, value length, value; all integers 32-bit little endian; last the
// SHA-256 of everything before it, so truncation and corruption are always detected.
constexpr char kMagic[8] = {'T', 'M', 'M', 'P', 'P', 'R', 'E', 'F'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kDigestSize = 32;

using Entries = std::map<std::string, PreferenceValue>;

void putU32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::array<unsigned char, kDigestSize> sha256(const char* data, std::size_t size) {
  std::array<unsigned char, kDigestSize> digest{};
  unsigned int length = 0;
  EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr);
  return digest;
}

std::string encode(const Entries& entries) {
  std::string out(kMagic, sizeof kMagic);
  putU32(out, kVersion);
  putU32(out, static_cast<std::uint32_t>(entries.size()));
  for (const auto& [key, value] : entries) {
    const bool isText = std::holds_alternative<std::string>(value);
    out.push_back(isText ? 't' : 'b');
    putU32(out, static_cast<std::uint32_t>(key.size()));
    out.append(key);
    if (isText) {
      const auto& text = std::get<std::string>(value);
      putU32(out, static_cast<std::uint32_t>(text.size()));
      out.append(text);
    } else {
      const auto& bytes = std::get<std::vector<std::uint8_t>>(value);
      putU32(out, static_cast<std::uint32_t>(bytes.size()));
      out.append(bytes.begin(), bytes.end());
    }
  }
  const auto digest = sha256(out.data(), out.size());
  out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  return out;
}

class Reader {
 public:
  explicit Reader(const std::string& data) : data_(data) {}
  bool u32(std::uint32_t& value) {
    if (data_.size() - pos_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data_[pos_ + i])) << (8 * i);
    }
    pos_ += 4;
    return true;
  }
  bool bytes(std::size_t count, std::string& out) {
    if (data_.size() - pos_ < count) return false;
    out.assign(data_, pos_, count);
    pos_ += count;
    return true;
  }
  bool atEnd() const { return pos_ == data_.size(); }

 private:
  const std::string& data_;
  std::size_t pos_ = 0;
};

std::optional<Entries> decode(const std::string& file) {
  if (file.size() < sizeof kMagic + 8 + kDigestSize) return std::nullopt;
  const std::string body = file.substr(0, file.size() - kDigestSize);
  const auto digest = sha256(body.data(), body.size());
  if (std::memcmp(digest.data(), file.data() + body.size(), kDigestSize) != 0) return std::nullopt;
  if (body.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) return std::nullopt;
  Reader reader(body);
  std::string skipped;
  std::uint32_t version = 0, count = 0;
  if (!reader.bytes(sizeof kMagic, skipped) || !reader.u32(version) || version != kVersion ||
      !reader.u32(count)) {
    return std::nullopt;
  }
  Entries entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string kind, key, value;
    std::uint32_t keyLength = 0, valueLength = 0;
    if (!reader.bytes(1, kind) || !reader.u32(keyLength) || !reader.bytes(keyLength, key) ||
        !reader.u32(valueLength) || !reader.bytes(valueLength, value)) {
      return std::nullopt;
    }
    if (kind == "t") {
      entries[key] = value;
    } else if (kind == "b") {
      entries[key] = std::vector<std::uint8_t>(value.begin(), value.end());
    } else {
      return std::nullopt;
    }
  }
  if (!reader.atEnd()) return std::nullopt;
  return entries;
}

bool writeAll(int fd, const std::string& data) {
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

class FilePreferencesStore : public PreferencesStore {
 public:
  explicit FilePreferencesStore(FilePreferencesStoreOptions options)
      : options_(std::move(options)) {}

  std::optional<PreferenceValue> value(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    loadLocked();
    auto it = entries_.find(key);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

  void setText(const std::string& key, const std::string& value) override {
    change([&](Entries& entries) { entries[key] = value; });
  }
  void setBytes(const std::string& key, const std::vector<std::uint8_t>& value) override {
    change([&](Entries& entries) { entries[key] = value; });
  }
  void remove(const std::string& key) override {
    change([&](Entries& entries) { entries.erase(key); });
  }

  // Every change is already on disk when its call returns.
  bool flush() override {
    std::lock_guard<std::mutex> lock(fileMutex_);
    return true;
  }

 private:
  template <class Mutation>
  void change(Mutation mutate) {
    // Writers queue on the file lock; readers only ever wait for the in-memory update.
    std::lock_guard<std::mutex> fileLock(fileMutex_);
    std::string encoded;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      loadLocked();
      mutate(entries_);
      encoded = encode(entries_);
    }
    persist(encoded);
  }

  void loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    const int fd = ::open(options_.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;  // no file yet: an empty store
    std::string data;
    char buffer[8192];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (auto entries = decode(data)) {
      entries_ = std::move(*entries);
    } else {
      Logger::log("Preferences file " + options_.path +
                  " is damaged; starting with empty preferences");
    }
  }

  void persist(const std::string& encoded) {
    const std::filesystem::path path(options_.path);
    std::error_code ignored;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
    const std::string temporary = options_.path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      Logger::log("Cannot write preferences file " + temporary + ": " + std::strerror(errno));
      return;
    }
    const bool written = writeAll(fd, encoded) && ::fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (!written) {
      Logger::log("Cannot write preferences file " + temporary + ": " + std::strerror(savedErrno));
      ::unlink(temporary.c_str());
      return;
    }
    if (options_.beforeRename) options_.beforeRename();
    if (::rename(temporary.c_str(), options_.path.c_str()) != 0) {
      Logger::log("Cannot replace preferences file " + options_.path + ": " + std::strerror(errno));
      ::unlink(temporary.c_str());
      return;
    }
    // Make the rename itself durable.
    const std::string directory = path.has_parent_path() ? path.parent_path().string() : ".";
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
      ::fsync(dirFd);
      ::close(dirFd);
    }
  }

  const FilePreferencesStoreOptions options_;
  std::mutex fileMutex_;
  std::mutex mutex_;
  bool loaded_ = false;
  Entries entries_;
};

}  // namespace

std::shared_ptr<PreferencesStore> makeFilePreferencesStore(FilePreferencesStoreOptions options) {
  return std::make_shared<FilePreferencesStore>(std::move(options));
}

}  // namespace tavrel_mmp::platform
