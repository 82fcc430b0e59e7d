#include "crash/fatal_record_sink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "core/no_destructor.h"
#include "crash/crash_file.h"
#include "crash/fault_rounds.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

// writable: the file shows the record of the latest round that holds one, or nothing; busy: one
// caller writes it; kept: the record in it stays, the process is ending.
enum FileState : int { kWritable = 0, kBusy = 1, kKept = 2 };

// Read from signal context: lock-free atomics and plain storage that is never destroyed.
std::atomic<int> fileState{kWritable};
// Something changed since the file was last written: whoever makes it busy writes it again.
std::atomic<bool> stale{false};
std::atomic<int> crashFd{-1};
// The process the file belongs to: a child forked without exec shares the descriptor.
std::atomic<pid_t> ownerPid{0};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

// The record each fault round holds, by the round's slot. `version` is odd while the round's
// own thread writes the bytes, so that a thread writing the file from them can tell a torn copy.
struct HeldRecord {
  std::atomic<std::uint64_t> round{0};  // the holding round's word; 0: none
  std::atomic<std::uint32_t> version{0};
  std::atomic<std::size_t> size{0};
  char bytes[FatalRecordSink::kRecordCapacity];
};
HeldRecord held[FaultRounds::kSlots];

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

void writeAll(int fd, const char* bytes, std::size_t length) {
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

// One pass, with the file busy: the latest held record whose bytes are complete, or nothing.
// A round whose thread is still copying its record writes the file again itself once done.
void writeLatest(int fd) {
  int latest = -1;
  std::uint64_t latestRound = 0;
  for (int slot = 0; slot < FaultRounds::kSlots; ++slot) {
    const std::uint64_t round = held[slot].round.load();
    if (round != 0 && (held[slot].version.load() & 1) == 0 &&
        (latest < 0 || FaultRounds::generationOf(round) > FaultRounds::generationOf(latestRound))) {
      latest = slot;
      latestRound = round;
    }
  }
  empty(fd);
  if (latest < 0) return;
  HeldRecord& record = held[latest];
  const std::uint32_t version = record.version.load();
  writeAll(fd, record.bytes, record.size.load());
  if (record.version.load() != version || record.round.load() != latestRound) stale = true;
}

// Brings the file up to date with the held records, unless another caller is writing it (it
// sees `stale` and writes again) or a record is kept.
void update() {
  stale = true;
  const int fd = ownFd();
  if (fd < 0) return;
  for (;;) {
    int expected = kWritable;
    if (!fileState.compare_exchange_strong(expected, kBusy)) return;
    while (stale.exchange(false)) writeLatest(fd);
    fileState.store(kWritable);
    if (!stale.load()) return;
  }
}

bool anyHeld() {
  for (const HeldRecord& record : held) {
    if (record.round.load() != 0) return true;
  }
  return false;
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
    int state = kWritable;
    if (!anyHeld() && fileState.compare_exchange_strong(state, kBusy)) return true;
    if (state == kKept) return false;
    pauseBriefly();
  }
  return false;
}

void forgetHeld() {
  for (HeldRecord& record : held) record.round.store(0);
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
    if (hadOwn) fileState.store(kWritable);
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
  if (inherited) {
    FaultRounds::clear();
    forgetHeld();
  }
  fileState.store(kWritable);
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
  fileState.store(kWritable);
}

std::optional<std::string> FatalRecordSink::openDirectory() {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  if (ownFd() < 0) return std::nullopt;
  return file.directory;
}

bool FatalRecordSink::hold(const FaultRounds::Round& round, std::string_view record) {
  const ErrnoKeeper errnoKeeper;
  if (round.slot < 0 || round.slot >= FaultRounds::kSlots) return false;
  // The slot is this round's now: what it held belongs to a round that is over.
  HeldRecord& mine = held[round.slot];
  if (ownFd() < 0 || record.size() > kRecordCapacity || fileState.load() == kKept) {
    mine.round.store(0);
    return false;
  }
  mine.version.fetch_add(1);
  std::memcpy(mine.bytes, record.data(), record.size());
  mine.size.store(record.size());
  mine.round.store(round.word);
  mine.version.fetch_add(1);
  update();
  return fileState.load() != kKept;
}

void FatalRecordSink::release(const FaultRounds::Round& round) {
  const ErrnoKeeper errnoKeeper;
  if (round.slot < 0 || round.slot >= FaultRounds::kSlots) return;
  // Only this round's record: the slot may hold a newer round's by now.
  std::uint64_t mine = round.word;
  if (held[round.slot].round.compare_exchange_strong(mine, 0)) update();
}

void FatalRecordSink::keep(std::string_view record) {
  const ErrnoKeeper errnoKeeper;
  const int fd = ownFd();
  if (fd < 0) return;
  for (int i = 0; i < kWaitSteps; ++i) {
    int state = kWritable;
    if (fileState.compare_exchange_strong(state, kBusy)) break;
    if (state == kKept) return;
    // Busy: another thread writes the file, or this one did when the signal came and will not
    // finish before the process ends; after the wait the record is written all the same.
    pauseBriefly();
  }
  empty(fd);
  writeAll(fd, record.data(), record.size());
  ::fdatasync(fd);
  fileState.store(kKept);
}

}  // namespace tavrel_mmp
