#include "events/upload_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/fork_generation.h"
#include "platform/per_process.h"
#include "platform/private_files.h"

namespace tavrel_mmp {
namespace {

// The process's descriptor of the lock file and how many of its uploads hold the lock.
struct ProcessLock {
  std::mutex mutex;
  std::atomic<int> fd{-1};
  std::string path;
  int holders = 0;
};

ProcessLock& processLock() {
  static platform::PerProcess<ProcessLock> lock([](ProcessLock* inherited) {
    // The copy a forked child inherits shares the parent's open file, lock included: kept open
    // here, it would hold the parent's lock for as long as the child lives, even once the parent
    // is gone. Closing it leaves the parent's own descriptor, and lock, as they are.
    if (inherited != nullptr) {
      if (const int fd = inherited->fd.exchange(-1); fd >= 0) ::close(fd);
    }
    return std::make_shared<ProcessLock>();
  });
  return lock.get();
}

}  // namespace

UploadLock::Held::~Held() {
  if (generation_ != platform::forkGeneration()) return;
  ProcessLock& lock = processLock();
  std::lock_guard<std::mutex> guard(lock.mutex);
  if (--lock.holders == 0) ::flock(lock.fd.load(), LOCK_UN);
}

std::shared_ptr<UploadLock::Held> UploadLock::tryTake(const std::string& storePath) {
  ProcessLock& lock = processLock();
  std::lock_guard<std::mutex> guard(lock.mutex);
  if (lock.holders == 0) {
    const std::string path = storePath + ".upload-lock";
    if (lock.fd.load() < 0 || lock.path != path) {
      if (!platform::ensurePrivateFile(path)) return nullptr;
      const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return nullptr;
      if (const int earlier = lock.fd.exchange(fd); earlier >= 0) ::close(earlier);
      lock.path = path;
    }
    // A file system without locks leaves each process to itself, as it was before there was one.
    if (::flock(lock.fd.load(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return nullptr;
  }
  ++lock.holders;
  return std::shared_ptr<Held>(new Held(platform::forkGeneration()));
}

}  // namespace tavrel_mmp
