#include "crash/crash_inbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "platform/per_process.h"

namespace tavrel_mmp {
namespace {

// An open descriptor, closed (and so unlocked) when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Files whose record is in the store's memory but not yet known to be written. They stay locked
// meanwhile, so that another instance starting now leaves them alone: one crash counts once.
struct AwaitingFile {
  std::string path;
  Descriptor locked;
};
struct Awaiting {
  std::mutex mutex;
  std::vector<AwaitingFile> files;
};
// A forked child's store never wrote its parent's records: their files are not its to remove.
Awaiting& awaiting() {
  static platform::PerProcess<Awaiting> files;
  return files.get();
}

struct Found {
  std::string path;
  Descriptor locked;
  timespec written{};
  CrashRecord record;
};

bool newer(const Found& a, const Found& b) {
  return std::tie(a.written.tv_sec, a.written.tv_nsec, a.path) >
         std::tie(b.written.tv_sec, b.written.tv_nsec, b.path);
}

std::vector<std::string> crashFileNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = ::readdir(listing)) {
    if (CrashFile::isCrashFileName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(listing);
  return names;
}

}  // namespace

std::optional<CrashRecord> CrashInbox::take(const std::string& directory) {
  std::vector<Found> complete;
  for (const std::string& name : crashFileNames(directory)) {
    const std::string path = directory + "/" + name;
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) continue;
    // Locked: a live process's own file.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    struct stat facts {};
    // No link left: another instance imported it while we waited for the lock.
    if (::fstat(fd.get(), &facts) != 0 || !S_ISREG(facts.st_mode) || facts.st_nlink == 0) {
      continue;
    }
    const std::optional<std::string> bytes = CrashFile::readAll(fd.get());
    if (bytes && bytes->empty()) {
      ::unlink(path.c_str());
      continue;
    }
    std::optional<CrashRecord> record = bytes ? CrashFile::decode(*bytes) : std::nullopt;
    if (!record) {
      ::unlink(path.c_str());
      Logger::log("Discarded an incomplete crash record");
      continue;
    }
    complete.push_back({path, std::move(fd), facts.st_mtim, std::move(*record)});
  }
  if (complete.empty()) return std::nullopt;

  const Found* newest = &complete.front();
  for (const Found& found : complete) {
    if (newer(found, *newest)) newest = &found;
  }
  std::optional<CrashRecord> record = newest->record;
  // A file this process holds already is locked against a second look, so none is added twice.
  auto& waiting = awaiting();
  std::lock_guard lock(waiting.mutex);
  for (Found& found : complete) {
    waiting.files.push_back({std::move(found.path), std::move(found.locked)});
  }
  return record;
}

void CrashInbox::storeWritten() {
  std::vector<AwaitingFile> files;
  {
    auto& waiting = awaiting();
    std::lock_guard lock(waiting.mutex);
    files.swap(waiting.files);
  }
  // Removed before they are unlocked.
  for (const AwaitingFile& file : files) ::unlink(file.path.c_str());
}

}  // namespace tavrel_mmp
