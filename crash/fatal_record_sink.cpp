#include "crash/fatal_record_sink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "core/no_destructor.h"
#include "crash/crash_file.h"
#include "crash/fault_rounds.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

// idle: the file is empty; busy: one caller writes or empties it; held: a pending record and
// its holders; kept: the record stays.
enum Kind : std::uint32_t { kIdle = 0, kBusy = 1, kHeld = 2, kKept = 3 };

// kind (2 bits) | holders (8 bits) | signal of the record in the file (8 bits).
constexpr std::uint32_t makeState(Kind kind, std::uint32_t holders = 0, int signal = 0) {
  return kind | (holders << 2) | (static_cast<std::uint32_t>(signal & 0xff) << 10);
}
Kind kindOf(std::uint32_t state) {
  return static_cast<Kind>(state & 3);
}
std::uint32_t holdersOf(std::uint32_t state) {
  return (state >> 2) & 0xff;
}
int signalOf(std::uint32_t state) {
  return static_cast<int>((state >> 10) & 0xff);
}

// Read from signal context: lock-free atomics only, in storage that is never destroyed.
std::atomic<std::uint32_t> recordState{kIdle};
std::atomic<int> crashFd{-1};
// The process the file belongs to: a child forked without exec shares the descriptor.
std::atomic<pid_t> ownerPid{0};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

// About two seconds of one-millisecond pauses: long enough for another thread to finish a
// record, short enough for a dying process.
constexpr int kWaitSteps = 2000;

void pauseBriefly() {
  const timespec pause{0, 1'000'000};
  ::nanosleep(&pause, nullptr);
}

int ownFd() {
  const int fd = crashFd.load();
  return fd >= 0 && ownerPid.load() == ::getpid() ? fd : -1;
}

void writeAll(int fd, std::string_view record) {
  const char* bytes = record.data();
  std::size_t length = record.size();
  off_t offset = 0;
  while (length > 0) {
    const ssize_t written = ::pwrite(fd, bytes, length, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    bytes += written;
    offset += written;
    length -= static_cast<std::size_t>(written);
  }
}

void empty(int fd) {
  while (::ftruncate(fd, 0) != 0 && errno == EINTR) {
  }
}

// Restores errno for the code the signal interrupted.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

struct OpenFile {
  std::mutex mutex;
  std::string path;
  std::string directory;
};
OpenFile& openFile() {
  static NoDestructor<OpenFile> file;
  return file.get();
}

// Waits a moment for no record to be in the file and claims it; false while one is held or
// kept (the process is in a fault round, or ending).
bool claimIdle() {
  for (int i = 0; i < 100; ++i) {
    std::uint32_t state = makeState(kIdle);
    if (recordState.compare_exchange_strong(state, makeState(kBusy))) return true;
    if (kindOf(state) == kKept) return false;
    pauseBriefly();
  }
  return false;
}

bool stillNamed(int fd, const std::string& path) {
  struct stat opened {
  }, named{};
  return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// A fresh file of this process, locked; -1 when none could be made.
int createLockedFile(const std::string& directory, std::string& path) {
  static std::atomic<unsigned> sequence{0};
  for (int attempt = 0; attempt < 8; ++attempt) {
    const std::uint64_t tag = (platform::randomBelow(1ULL << 32) << 8) ^ sequence++;
    path = directory + "/" + CrashFile::fileNameFor(::getpid(), tag);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool takenMeanwhile = errno == EWOULDBLOCK;
      if (takenMeanwhile) {
        // Another instance's import found it empty and removes it.
        ::close(fd);
        continue;
      }
      // No locks on this file system: the file still works for this process.
    }
    // An import that ran between creation and lock may have removed the name.
    if (!stillNamed(fd, path)) {
      ::close(fd);
      continue;
    }
    return fd;
  }
  return -1;
}

}  // namespace

bool FatalRecordSink::open(const std::string& directory) {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  const bool inherited = crashFd.load() >= 0 && ownerPid.load() != ::getpid();
  const bool hadOwn = crashFd.load() >= 0 && !inherited;
  if (hadOwn && !claimIdle()) return false;

  std::string path;
  const int fd = createLockedFile(directory, path);
  if (fd < 0) {
    if (hadOwn) recordState.store(makeState(kIdle));
    return false;
  }
  const int earlier = crashFd.exchange(fd);
  if (earlier >= 0) {
    // The parent's file stays the parent's: closing our copy neither unlocks nor removes it.
    ::close(earlier);
    if (!inherited) ::unlink(file.path.c_str());
  }
  file.path = path;
  file.directory = directory;
  recordState.store(makeState(kIdle));
  if (inherited) FaultRounds::clear();
  ownerPid.store(::getpid());
  return true;
}

void FatalRecordSink::close() {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  if (crashFd.load() < 0) return;
  const bool inherited = ownerPid.load() != ::getpid();
  if (!inherited && !claimIdle()) return;
  ::close(crashFd.exchange(-1));
  if (!inherited) ::unlink(file.path.c_str());
  file.path.clear();
  file.directory.clear();
  recordState.store(makeState(kIdle));
}

std::optional<std::string> FatalRecordSink::openDirectory() {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  if (ownFd() < 0) return std::nullopt;
  return file.directory;
}

bool FatalRecordSink::hold(int signal, std::string_view record) {
  const ErrnoKeeper errnoKeeper;
  const int fd = ownFd();
  if (fd < 0) return false;
  for (int i = 0; i < kWaitSteps; ++i) {
    std::uint32_t state = recordState.load();
    switch (kindOf(state)) {
      case kIdle:
        if (recordState.compare_exchange_strong(state, makeState(kBusy))) {
          writeAll(fd, record);
          recordState.store(makeState(kHeld, 1, signal));
          return true;
        }
        break;
      case kHeld:
        if (holdersOf(state) == 0xff) return false;
        if (recordState.compare_exchange_strong(
                state, makeState(kHeld, holdersOf(state) + 1, signalOf(state)))) {
          return true;
        }
        break;
      case kKept:
        return false;
      case kBusy:
        pauseBriefly();
        break;
    }
  }
  return false;
}

void FatalRecordSink::release() {
  const ErrnoKeeper errnoKeeper;
  for (int i = 0; i < kWaitSteps; ++i) {
    std::uint32_t state = recordState.load();
    switch (kindOf(state)) {
      case kHeld:
        if (holdersOf(state) > 1) {
          if (recordState.compare_exchange_strong(
                  state, makeState(kHeld, holdersOf(state) - 1, signalOf(state)))) {
            return;
          }
        } else if (recordState.compare_exchange_strong(state, makeState(kBusy))) {
          if (const int fd = ownFd(); fd >= 0) empty(fd);
          recordState.store(makeState(kIdle));
          return;
        }
        break;
      case kBusy:
        pauseBriefly();
        break;
      case kIdle:
      case kKept:
        return;
    }
  }
}

void FatalRecordSink::keep(int signal, std::string_view record) {
  const ErrnoKeeper errnoKeeper;
  const int fd = ownFd();
  if (fd < 0) return;
  for (int i = 0; i < kWaitSteps; ++i) {
    std::uint32_t state = recordState.load();
    switch (kindOf(state)) {
      case kKept:
        return;
      case kHeld:
        if (signalOf(state) == signal) {
          if (recordState.compare_exchange_strong(state, makeState(kKept, 0, signal))) {
            ::fdatasync(fd);
            return;
          }
          break;
        }
        [[fallthrough]];
      case kIdle:
        if (recordState.compare_exchange_strong(state, makeState(kBusy))) {
          if (kindOf(state) == kHeld) empty(fd);
          writeAll(fd, record);
          ::fdatasync(fd);
          recordState.store(makeState(kKept, 0, signal));
          return;
        }
        break;
      case kBusy:
        pauseBriefly();
        break;
    }
  }
}

}  // namespace tavrel_mmp
