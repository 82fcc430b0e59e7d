#include "crash/fatal_record_sink.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace tavrel_mmp {
namespace {

enum RecordState : int { kIdle, kWriting, kWritten };

// Read from signal context: lock-free atomics only, in storage that is never destroyed.
std::atomic<int> crashFd{-1};
std::atomic<int> recordState{kIdle};
static_assert(std::atomic<int>::is_always_lock_free);

struct OpenFile {
  std::mutex mutex;
  std::string path;
};
OpenFile& openFile() {
  static auto* file = new OpenFile();
  return *file;
}

void replaceFile(int fd, const std::string& path) {
  auto& file = openFile();
  const int earlier = crashFd.exchange(fd);
  if (earlier >= 0) {
    ::close(earlier);
    if (file.path != path) ::unlink(file.path.c_str());
  }
  file.path = path;
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

}  // namespace

bool FatalRecordSink::open(const std::string& path) {
  std::lock_guard lock(openFile().mutex);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  replaceFile(fd, path);
  return true;
}

void FatalRecordSink::close() {
  std::lock_guard lock(openFile().mutex);
  replaceFile(-1, "");
}

void FatalRecordSink::writeOnce(const char* bytes, std::size_t length) {
  const int savedErrno = errno;
  int expected = kIdle;
  if (recordState.compare_exchange_strong(expected, kWriting)) {
    const int fd = crashFd.load();
    if (fd >= 0) {
      writeAll(fd, bytes, length);
      ::fdatasync(fd);
    }
    recordState.store(kWritten);
  } else {
    // Up to two seconds: another thread is still writing (two faults at once).
    for (int i = 0; i < 200 && recordState.load() != kWritten; ++i) {
      const timespec pause{0, 10'000'000};
      ::nanosleep(&pause, nullptr);
    }
  }
  errno = savedErrno;
}

}  // namespace tavrel_mmp
