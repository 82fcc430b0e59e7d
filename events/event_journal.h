#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel_mmp {

// This process's event journal: the file recording threads append framed records to
// (events/journal_format.h) and the library's thread drains into the event store.
//
// Two files beside the store, "<store>.events-<pid>-<token>.0" and ".1", each locked for the
// process's life (a POSIX record lock, which a forked child does not inherit) so that no other
// process imports them while it lives. Recording threads append with one write(2) to whichever
// file is current; no lock of ours on that path. The library's thread seals the current file by
// switching appends to the other one, waits for the appends already under way to finish, reads
// it whole, and empties it once what it held is committed to the store. A forked child never
// writes into its parent's files: it leaves the inherited descriptors untouched and starts
// files of its own.
class EventJournal {
 public:
  // `storePath` names the store the files sit beside (none while there is nowhere to put them);
  // asked again at each attempt to create them, at most once a second after a failure.
  explicit EventJournal(std::function<std::optional<std::string>()> storePath);
  ~EventJournal();  // closes and removes the files when empty (the shared one never goes)
  EventJournal(const EventJournal&) = delete;
  EventJournal& operator=(const EventJournal&) = delete;

  // Any thread. Appends one framed record whole; false when it could not be written whole (no
  // file, a full disk, the size limit), and then no whole record of it is in the file.
  bool append(std::string_view record);

  // The library's thread. What a sealed file held, to be committed before `release`.
  struct Sealed {
    int slot = -1;
    std::string bytes;
    bool more = false;  // the current file may hold more after this one
  };
  // The bytes of a file left from a drain that did not commit, or else of the current file,
  // sealed first; none when there is nothing, or no file.
  std::optional<Sealed> seal();
  // What `sealed` held is committed: its file starts over.
  void release(const Sealed& sealed);

  // A file beside the store that no live process holds: a journal of a process that is gone.
  struct LeftBehind {
    std::string path;
    int fd = -1;  // locked; closed by `discard` or by the destructor
    std::string bytes;
    LeftBehind() = default;
    LeftBehind(LeftBehind&& other) noexcept;
    LeftBehind& operator=(LeftBehind&&) = delete;
    ~LeftBehind();
    // Its records are committed (or worthless): the file goes.
    void discard();
  };
  // Journals of other processes beside `storePath` that no live process holds, locked for the
  // caller; those of this process's id are never taken.
  static std::vector<LeftBehind> leftBehind(const std::string& storePath);

  // Each file stops taking records past this size; appends then fail.
  static constexpr std::int64_t kMaxFileBytes = std::int64_t{64} << 20;

 private:
  struct Slot {
    std::atomic<int> fd{-1};
    std::atomic<int> appending{0};  // appends under way into this file
    std::atomic<std::int64_t> bytes{0};
  };

  bool ensureFiles();
  bool openFilesLocked();
  void closeFiles(bool remove);

  const std::function<std::optional<std::string>()> storePath_;
  Slot slots_[2];
  std::atomic<int> current_{0};
  // The process generation the files belong to (a forked child has another).
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<bool> open_{false};
  std::mutex openMutex_;  // creating files (first use, after a failure, in a forked child)
  std::optional<double> lastAttempt_;
  std::string paths_[2];
};

}  // namespace tavrel_mmp
