// Signal context: everything in crash/signal/ may run inside a fatal-signal handler, so it uses
// async-signal-safe calls only: no allocation, no lock, no log.
#include "crash/signal/record_file.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "crash/signal/fixed_text.h"
#include "crash/signal/record_format.h"

namespace tavrel_mmp {
namespace {

// writable: the file shows the record of the latest round that holds one, or nothing; busy: one
// caller writes it; kept: the record in it stays, the process is ending.
enum FileState : int { kWritable = 0, kBusy = 1, kKept = 2 };

// Lock-free atomics and plain storage that is never destroyed.
std::atomic<int> fileState{kWritable};
// Something changed since the file was last written: whoever makes it busy writes it again.
std::atomic<bool> stale{false};
std::atomic<int> crashFd{-1};
// The process the file belongs to: a child forked without exec shares the descriptor.
std::atomic<pid_t> ownerPid{0};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<pid_t>::is_always_lock_free);

// The record each fault round holds, by the round's slot, in its file form. `version` is odd
// while the round's own thread writes the bytes, so that a thread writing the file from them can
// tell a torn copy.
struct HeldRecord {
  std::atomic<std::uint64_t> round{0};  // the holding round's word; 0: none
  std::atomic<std::uint32_t> version{0};
  std::atomic<std::size_t> size{0};
  char bytes[RecordFile::kRecordCapacity];
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

// Writes at `offset`; returns the offset after what was written.
off_t writeAt(int fd, off_t offset, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return offset;
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += written;
  }
  return offset;
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
  writeAt(fd, 0, std::string_view(record.bytes, record.size.load()));
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

}  // namespace

bool RecordFile::hold(const FaultRounds::Round& round, std::string_view text,
                      std::string_view hash) {
  const ErrnoKeeper errnoKeeper;
  if (round.slot < 0 || round.slot >= FaultRounds::kSlots) return false;
  // The slot is this round's now: what it held belongs to a round that is over.
  HeldRecord& mine = held[round.slot];
  if (ownFd() < 0 || fileState.load() == kKept) {
    mine.round.store(0);
    return false;
  }
  mine.version.fetch_add(1);
  FixedText bytes(mine.bytes, sizeof mine.bytes);
  if (!text.empty()) record_format::append(bytes, text, hash);
  // A record cut off would not be read back: the one that fits is the first line alone.
  if (bytes.full()) {
    bytes = FixedText(mine.bytes, sizeof mine.bytes);
    record_format::append(bytes, text.substr(0, text.find('\n')), hash);
  }
  mine.size.store(bytes.size());
  mine.round.store(round.word);
  mine.version.fetch_add(1);
  update();
  return fileState.load() != kKept;
}

void RecordFile::release(const FaultRounds::Round& round) {
  const ErrnoKeeper errnoKeeper;
  if (round.slot < 0 || round.slot >= FaultRounds::kSlots) return;
  // Only this round's record: the slot may hold a newer round's by now.
  std::uint64_t mine = round.word;
  if (held[round.slot].round.compare_exchange_strong(mine, 0)) update();
}

void RecordFile::keep(std::string_view text, std::string_view hash) {
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
  if (!text.empty()) {
    char header[64];
    FixedText start(header, sizeof header);
    record_format::appendHeader(start, text.size(), hash.size());
    off_t offset = writeAt(fd, 0, start.view());
    offset = writeAt(fd, offset, text);
    offset = writeAt(fd, offset, hash);
    writeAt(fd, offset, record_format::kEndMarker);
  }
  ::fdatasync(fd);
  fileState.store(kKept);
}

bool RecordFile::hasOwn() {
  return ownFd() >= 0;
}

bool RecordFile::hasInherited() {
  return crashFd.load() >= 0 && ownerPid.load() != ::getpid();
}

bool RecordFile::claimIdle() {
  for (int i = 0; i < 100; ++i) {
    int state = kWritable;
    if (!anyHeld() && fileState.compare_exchange_strong(state, kBusy)) return true;
    if (state == kKept) return false;
    pauseBriefly();
  }
  return false;
}

void RecordFile::unclaim() {
  fileState.store(kWritable);
}

int RecordFile::replace(int fd) {
  if (hasInherited()) {
    FaultRounds::clear();
    for (HeldRecord& record : held) record.round.store(0);
  }
  const int earlier = crashFd.exchange(fd);
  ownerPid.store(::getpid());
  fileState.store(kWritable);
  return earlier;
}

}  // namespace tavrel_mmp
