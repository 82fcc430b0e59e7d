#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace tavrel_mmp {

// One process at a time uploads rows of an event store, so that no process sends rows another one
// has in flight (a child forked from it, a second instance of the app on the same files): an
// exclusive flock on "<store file>.upload-lock", taken without waiting, on a descriptor of the
// process's own. An upload holds it from the read of its rows until its outcome is handled; the
// uploads of one process share it, and it goes when the last of them ends.
class UploadLock {
 public:
  // Keeps the lock while it lives.
  class Held {
   public:
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    friend class UploadLock;
    explicit Held(std::uint64_t generation) : generation_(generation) {}
    const std::uint64_t generation_;  // a copy left in a forked child releases nothing there
  };

  // None while another process holds the lock, or when its file cannot be opened: the rows
  // then wait for a later upload.
  static std::shared_ptr<Held> tryTake(const std::string& storePath);
};

}  // namespace tavrel_mmp
