#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "events/event_data.h"
#include "events/event_journal.h"
#include "events/event_set_aside.h"
#include "events/event_table.h"

namespace tavrel_mmp {

// The caps of the event store (see DatabaseHelper).
struct EventStoreLimits {
  // Rows in "EventData": weeks of a busy app's events offline; at a few hundred bytes a row,
  // some tens of megabytes.
  std::size_t maxEvents = 100'000;
  // Rows in "EventSetAside".
  std::size_t maxSetAside = 10'000;
  // Rows written between two counts of the rows (the count runs at batch time).
  std::size_t capCheckEvery = 1'000;
  // The file never grows past this, whatever the events weigh; reaching it is handled like a
  // full disk.
  std::int64_t maxFileBytes = std::int64_t{512} << 20;
};

// The local event store: one SQLite file "<documents>/tavrel_mmp_1.sqlite3", table "EventData".
//
// Recording threads only append each event to this process's journal beside the file
// (events/event_journal.h) and ask the library's thread (the main loop) to drain it; that thread
// alone uses the file, through one connection: it moves what the journal holds into the table,
// many rows per transaction, then empties the journal, and reads batches only after draining.
// A row reaches the file a moment after `addEvent` returned, and survives the process's death
// from the return on. Draining twice what was committed stores it once (a kill between the
// commit and the journal's emptying repeats nothing), and the first drain after the file opens
// imports the journals that processes which are gone left beside it.
//
// An event the journal cannot take (no documents directory, a full disk, the journal's size
// limit) waits in a bounded memory queue and is written with the next drain. While the file
// cannot be opened or written, the journal keeps what it holds; opening and writing are tried
// again at later uses, at most once a second.
//
// The queue is capped (`EventStoreLimits`): past `maxEvents` rows the oldest are set aside into the
// table "EventSetAside", which keeps the whole row, why and when; past `maxSetAside` the rows set
// aside longest ago go, with a development line saying how many. The uploader sets aside single
// rows the service keeps refusing the same way.
class DatabaseHelper {
 public:
  // The store at the documents directory; never destroyed.
  static DatabaseHelper& shared();

  // A store at `path` (none: nowhere to put it). The shared store reads the documents directory
  // again at each attempt.
  explicit DatabaseHelper(std::optional<std::string> path, EventStoreLimits limits = {});
  ~DatabaseHelper();
  DatabaseHelper(const DatabaseHelper&) = delete;
  DatabaseHelper& operator=(const DatabaseHelper&) = delete;

  // Any thread: records the event (see above) and returns; never waits for the file.
  void addEvent(const EventData& event);
  // Any thread: every event recorded so far, stored, waiting or set aside, goes (the
  // installation starts over). Before it returns no batch read afterwards holds one of them;
  // the journal carries the mark, so a process killed meanwhile forgets them too.
  void removeAll();

  // The library's thread only, from here on.

  // Moves what the journal and the memory queue hold into the file.
  void drain();
  // At most `limit` records (10 when limit <= 0), oldest "time" first, after draining; none when
  // the store is unusable or the read fails.
  std::optional<EventList> getEvents(int limit);
  // The service accepted these events: their rows go, and any of them not in the file yet is
  // never written there.
  void removeEvents(const EventList& events);

  // One more refusal by the service for each of these rows, at `now` (Unix seconds), written
  // before it returns; the rows' refusal histories afterwards, none when the write failed.
  std::optional<set_aside::RefusalHistories> noteRefusal(const EventList& events, std::int64_t now);
  // Takes the row out of the queue into the set-aside table, with a development line naming it
  // and `reason`; false when it was not there or the write failed.
  bool setAside(const EventData& event, const std::string& reason);
  // Applies the caps when `capCheckEvery` rows were written since the last check (or none was
  // made since the file opened).
  void enforceCaps();
  // The rows set aside, longest ago first.
  std::vector<set_aside::SetAsideEvent> setAsideEvents(std::size_t limit = 100);

  // Whether the file is open (trying to open it when an attempt is due).
  bool isUsable();
  // Where the file is, whether open or not; none while there is nowhere to put it. Any thread.
  std::optional<std::string> filePath();

  static constexpr std::size_t kMemoryQueueLimit = 10'000;
  static constexpr double kReopenIntervalSeconds = 1.0;
  // From the first event recorded to the drain that moves it (and what follows it) into the file.
  static constexpr double kDrainDelaySeconds = 0.01;
  // Rows moved per transaction when the caps are applied.
  static constexpr std::size_t kCapChunk = 500;

 private:
  DatabaseHelper();  // the shared store
  struct Wakeup;

  std::optional<std::string> path() const;
  bool openIfDue();
  void importLeftBehind();
  bool writeDue() const;
  void requestDrain();
  void keepInMemory(const EventData& event);
  void neverWriteLater(const EventList& events);

  const bool atDocuments_;
  const std::optional<std::string> path_;
  const EventStoreLimits limits_;
  EventJournal journal_;
  std::shared_ptr<Wakeup> wakeup_;
  std::atomic<bool> appendFailing_{false};

  // Events the journal could not take, and what a forget left for the library's thread.
  std::mutex queueMutex_;
  std::deque<std::shared_ptr<EventData>> queued_;
  bool forgetTable_ = false;    // the table's rows go at the next drain
  bool forgetJournal_ = false;  // and what the journal holds (its mark could not be appended)

  // The library's thread's own.
  std::uint64_t generation_;  // of the process (a forked child has another)
  std::unique_ptr<EventTable> table_;
  std::optional<double> openRetryAfter_;   // monotonic seconds, after an attempt
  std::optional<double> writeRetryAfter_;  // after a failed write
  std::size_t writtenSinceCapCheck_ = 0;
  bool capsChecked_ = false;  // since the file opened
  // Accepted by the service before they reached the file (which could not be written then).
  std::unordered_set<std::string> delivered_;
};

}  // namespace tavrel_mmp
