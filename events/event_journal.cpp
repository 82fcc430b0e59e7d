#include "events/event_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <thread>
#include <utility>

#include "platform/buffered_random.h"
#include "platform/fork_generation.h"
#include "platform/private_files.h"
#include "tavrel_mmp/platform/clock.h"

namespace tavrel_mmp {
namespace {

constexpr double kRetryIntervalSeconds = 1.0;
constexpr const char* kInfix = ".events-";

std::pair<std::string, std::string> directoryAndName(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// A write lock on the whole file, held until the process ends or closes the file; false when
// another process holds one.
bool lockWhole(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &lock) == 0;
}

std::optional<std::string> readWhole(int fd) {
  struct stat facts {};
  if (::fstat(fd, &facts) != 0) return std::nullopt;
  std::string bytes;
  bytes.resize(static_cast<std::size_t>(facts.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;  // shorter than it was a moment ago
    done += static_cast<std::size_t>(n);
  }
  bytes.resize(done);
  return bytes;
}

bool writeWhole(int fd, std::string_view bytes, std::int64_t& written) {
  written = 0;
  for (;;) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;  // nothing was written
    if (n > 0) written = n;
    // A short write leaves a torn record behind, which readers skip.
    return n == static_cast<ssize_t>(bytes.size());
  }
}

std::int64_t fileSize(int fd) {
  struct stat facts {};
  return ::fstat(fd, &facts) == 0 ? static_cast<std::int64_t>(facts.st_size) : 0;
}

}  // namespace

EventJournal::EventJournal(std::function<std::optional<std::string>()> storePath)
    : storePath_(std::move(storePath)), generation_(platform::forkGeneration()) {}

EventJournal::~EventJournal() {
  if (open_.load() && generation_.load() == platform::forkGeneration()) {
    closeFiles(fileSize(slots_[0].fd) == 0 && fileSize(slots_[1].fd) == 0);
  }
}

void EventJournal::closeFiles(bool remove) {
  for (int i = 0; i < 2; ++i) {
    const int fd = slots_[i].fd.exchange(-1);
    if (fd < 0) continue;
    if (remove) ::unlink(paths_[i].c_str());
    ::close(fd);
  }
  open_.store(false);
}

bool EventJournal::ensureFiles() {
  const std::uint64_t generation = platform::forkGeneration();
  if (open_.load(std::memory_order_acquire) && generation_.load() == generation) return true;
  std::lock_guard<std::mutex> lock(openMutex_);
  if (generation_.load() != generation) {
    // A forked child: the files and their descriptors are the parent's. Left alone, never
    // written or closed here; the child starts files of its own.
    for (Slot& slot : slots_) {
      slot.fd.store(-1);
      slot.appending.store(0);
      slot.bytes.store(0);
    }
    current_.store(0);
    open_.store(false);
    lastAttempt_.reset();
    generation_.store(generation);
  }
  if (open_.load()) return true;
  const double now = platform::clock().monotonic();
  if (lastAttempt_ && now >= *lastAttempt_ && now - *lastAttempt_ < kRetryIntervalSeconds) {
    return false;
  }
  lastAttempt_ = now;
  if (!openFilesLocked()) return false;
  open_.store(true, std::memory_order_release);
  return true;
}

bool EventJournal::openFilesLocked() {
  const std::optional<std::string> store = storePath_();
  if (!store) return false;
  const auto [directory, name] = directoryAndName(*store);
  if (!platform::makePrivateDirectories(directory)) return false;
  char token[17];
  const auto random = platform::bufferedRandomBelow(std::uint64_t{1} << 48);
  *std::to_chars(token, token + 16, random, 16).ptr = '\0';
  const std::string stem = *store + kInfix + std::to_string(::getpid()) + "-" + token + ".";
  int fds[2] = {-1, -1};
  for (int i = 0; i < 2; ++i) {
    paths_[i] = stem + std::to_string(i);
    fds[i] = ::open(paths_[i].c_str(),
                    O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fds[i] >= 0 && !lockWhole(fds[i])) {
      ::unlink(paths_[i].c_str());
      ::close(fds[i]);
      fds[i] = -1;
    }
    if (fds[i] < 0) {
      if (i == 1) {
        ::unlink(paths_[0].c_str());
        ::close(fds[0]);
      }
      return false;
    }
  }
  for (int i = 0; i < 2; ++i) {
    slots_[i].bytes.store(0);
    slots_[i].fd.store(fds[i]);
  }
  return true;
}

bool EventJournal::append(std::string_view record) {
  if (!ensureFiles()) return false;
  for (;;) {
    const int index = current_.load();
    Slot& slot = slots_[index];
    slot.appending.fetch_add(1);
    // Sealed meanwhile: the reader may not wait for this append any more.
    if (current_.load() != index) {
      slot.appending.fetch_sub(1);
      continue;
    }
    bool whole = false;
    const auto size = static_cast<std::int64_t>(record.size());
    if (slot.bytes.load(std::memory_order_relaxed) + size <= kMaxFileBytes) {
      std::int64_t written = 0;
      whole = writeWhole(slot.fd.load(std::memory_order_relaxed), record, written);
      slot.bytes.fetch_add(written, std::memory_order_relaxed);
    }
    slot.appending.fetch_sub(1);
    return whole;
  }
}

std::optional<EventJournal::Sealed> EventJournal::seal() {
  if (!open_.load() || generation_.load() != platform::forkGeneration()) return std::nullopt;
  const int current = current_.load();
  const int other = 1 - current;
  // Left from a drain that did not commit: older than anything in the current file.
  if (fileSize(slots_[other].fd.load()) > 0) {
    auto bytes = readWhole(slots_[other].fd.load());
    if (!bytes) return std::nullopt;
    return Sealed{other, std::move(*bytes), true};
  }
  current_.store(other);
  while (slots_[current].appending.load() > 0) std::this_thread::yield();
  auto bytes = readWhole(slots_[current].fd.load());
  if (!bytes || bytes->empty()) return std::nullopt;
  return Sealed{current, std::move(*bytes), false};
}

void EventJournal::release(const Sealed& sealed) {
  if (sealed.slot < 0 || generation_.load() != platform::forkGeneration()) return;
  Slot& slot = slots_[sealed.slot];
  if (::ftruncate(slot.fd.load(), 0) == 0) slot.bytes.store(0);
}

EventJournal::LeftBehind::LeftBehind(LeftBehind&& other) noexcept
    : path(std::move(other.path)), fd(std::exchange(other.fd, -1)), bytes(std::move(other.bytes)) {}

EventJournal::LeftBehind::~LeftBehind() {
  if (fd >= 0) ::close(fd);
}

void EventJournal::LeftBehind::discard() {
  ::unlink(path.c_str());
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

std::vector<EventJournal::LeftBehind> EventJournal::leftBehind(const std::string& storePath) {
  std::vector<LeftBehind> found;
  const auto [directory, name] = directoryAndName(storePath);
  const std::string prefix = name + kInfix;
  const std::string ours = prefix + std::to_string(::getpid()) + "-";
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(directory.c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view file = entry->d_name;
      if (file.starts_with(prefix) && !file.starts_with(ours)) names.emplace_back(file);
    }
    ::closedir(listing);
  }
  for (const std::string& file : names) {
    LeftBehind left;
    left.path = directory + "/" + file;
    left.fd = ::open(left.path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (left.fd < 0 || !lockWhole(left.fd)) continue;  // a live process's own
    struct stat facts {};
    // No link left: another process imported it while this one opened it.
    if (::fstat(left.fd, &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_nlink == 0) continue;
    auto bytes = readWhole(left.fd);
    if (!bytes) continue;
    left.bytes = std::move(*bytes);
    found.push_back(std::move(left));
  }
  return found;
}

}  // namespace tavrel_mmp
