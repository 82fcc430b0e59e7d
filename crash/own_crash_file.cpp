#include "crash/own_crash_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "core/no_destructor.h"
#include "crash/crash_file.h"
#include "crash/signal/record_file.h"
#include "tavrel_mmp/platform/secure_random.h"

namespace tavrel_mmp {
namespace {

struct OpenFile {
  std::mutex mutex;
  std::string path;
  std::string directory;
};
OpenFile& openFile() {
  static NoDestructor<OpenFile> file;
  return file.get();
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

bool OwnCrashFile::open(const std::string& directory) {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  const bool inherited = RecordFile::hasInherited();
  const bool hadOwn = RecordFile::hasOwn();
  if (hadOwn && !RecordFile::claimIdle()) return false;

  std::string path;
  const int fd = createLockedFile(directory, path);
  if (fd < 0) {
    if (hadOwn) RecordFile::unclaim();
    return false;
  }
  const int earlier = RecordFile::replace(fd);
  if (earlier >= 0) {
    // The parent's file stays the parent's: closing our copy neither unlocks nor removes it.
    ::close(earlier);
    if (!inherited) ::unlink(file.path.c_str());
  }
  file.path = path;
  file.directory = directory;
  return true;
}

void OwnCrashFile::close() {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  const bool inherited = RecordFile::hasInherited();
  if (!inherited && !RecordFile::hasOwn()) return;
  if (!inherited && !RecordFile::claimIdle()) return;
  ::close(RecordFile::replace(-1));
  if (!inherited) ::unlink(file.path.c_str());
  file.path.clear();
  file.directory.clear();
}

std::optional<std::string> OwnCrashFile::directory() {
  auto& file = openFile();
  std::lock_guard lock(file.mutex);
  if (!RecordFile::hasOwn()) return std::nullopt;
  return file.directory;
}

}  // namespace tavrel_mmp
