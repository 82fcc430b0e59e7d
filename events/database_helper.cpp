#include "events/database_helper.h"

#include <algorithm>

#include "core/logger.h"
#include "events/journal_format.h"
#include "platform/fork_generation.h"
#include "platform/per_process.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kFileName = "/tavrel_mmp_1.sqlite3";
// A recording thread's buffer for framing records keeps at most this much between calls.
constexpr std::size_t kKeptFrameBytes = 64 * 1024;

std::optional<std::string> documentsDatabasePath() {
  auto directory = platform::documentsDirectory().path();
  if (!directory) return std::nullopt;
  return *directory + kFileName;
}

double monotonicNow() {
  return platform::clock().monotonic();
}

// Whether a retry set for `after` is still to come (a clock that went back lets it go at once).
bool waiting(const std::optional<double>& after, double interval) {
  if (!after) return false;
  const double now = monotonicNow();
  return now < *after && now >= *after - interval;
}

void dropDelivered(EventList& events, std::unordered_set<std::string>& delivered) {
  if (delivered.empty()) return;
  std::erase_if(events, [&](const auto& event) { return delivered.erase(event->id) != 0; });
}

}  // namespace

// The drains handed to the main loop: one at a time is waiting, and none runs once its store is
// gone.
struct DatabaseHelper::Wakeup {
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::mutex mutex;
  DatabaseHelper* store = nullptr;
  // The process generation whose drain is waiting (a forked child's own is not the parent's).
  std::atomic<std::uint64_t> requestedIn{kNone};
};

DatabaseHelper& DatabaseHelper::shared() {
  // Never destroyed: other threads may still record while the process exits. A forked child
  // makes a store of its own (its own journal and connection); the parent's is left alone.
  static platform::PerProcess<DatabaseHelper> instance(
      [](DatabaseHelper*) { return std::shared_ptr<DatabaseHelper>(new DatabaseHelper()); });
  return instance.get();
}

DatabaseHelper::DatabaseHelper()
    : atDocuments_(true),
      journal_([] { return documentsDatabasePath(); }),
      wakeup_(std::make_shared<Wakeup>()),
      generation_(platform::forkGeneration()) {
  wakeup_->store = this;
}

DatabaseHelper::DatabaseHelper(std::optional<std::string> path, EventStoreLimits limits)
    : atDocuments_(false),
      path_(std::move(path)),
      limits_(limits),
      journal_([this] { return path_; }),
      wakeup_(std::make_shared<Wakeup>()),
      generation_(platform::forkGeneration()) {
  wakeup_->store = this;
}

DatabaseHelper::~DatabaseHelper() {
  {
    std::lock_guard<std::mutex> lock(wakeup_->mutex);
    wakeup_->store = nullptr;
  }
  drain();  // what this process recorded is in the file, or stays in its journal
}

std::optional<std::string> DatabaseHelper::path() const {
  return atDocuments_ ? documentsDatabasePath() : path_;
}

std::optional<std::string> DatabaseHelper::filePath() {
  return path();
}

void DatabaseHelper::requestDrain() {
  auto& requested = wakeup_->requestedIn;
  const std::uint64_t generation = platform::forkGeneration();
  if (requested.load(std::memory_order_relaxed) == generation ||
      requested.exchange(generation) == generation) {
    return;
  }
  // A moment later, so that one transaction takes what arrives meanwhile.
  platform::mainLoop().postAfter(kDrainDelaySeconds, [wakeup = wakeup_] {
    wakeup->requestedIn.store(Wakeup::kNone);
    std::lock_guard<std::mutex> lock(wakeup->mutex);
    if (wakeup->store != nullptr) wakeup->store->drain();
  });
}

void DatabaseHelper::addEvent(const EventData& event) {
  thread_local std::string frame;
  frame.clear();
  journal::appendEvent(frame, event);
  const bool appended = frame.size() <= journal::kMaxPayloadBytes && journal_.append(frame);
  if (frame.capacity() > kKeptFrameBytes) std::string().swap(frame);
  if (appended) {
    if (appendFailing_.load(std::memory_order_relaxed) && appendFailing_.exchange(false)) {
      Logger::log("The event journal takes events again");
    }
  } else {
    keepInMemory(event);
  }
  requestDrain();
}

void DatabaseHelper::keepInMemory(const EventData& event) {
  if (!appendFailing_.exchange(true)) {
    Logger::log("The event journal cannot be written; events wait in memory");
  }
  bool dropped = false;
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (queued_.size() >= kMemoryQueueLimit) {
      queued_.pop_front();
      dropped = true;
    }
    queued_.push_back(std::make_shared<EventData>(event));
  }
  if (dropped) {
    Logger::log("The event store is unavailable and " + std::to_string(kMemoryQueueLimit) +
                " events wait in memory; the oldest was dropped");
  }
}

void DatabaseHelper::removeAll() {
  std::string mark;
  journal::appendForgetMark(mark);
  const bool marked = journal_.append(mark);
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.clear();
    forgetTable_ = true;
    forgetJournal_ = forgetJournal_ || !marked;
  }
  requestDrain();
}

bool DatabaseHelper::isUsable() {
  return openIfDue();
}

bool DatabaseHelper::openIfDue() {
  if (generation_ != platform::forkGeneration()) {
    // A forked child: the connection is the parent's. Left alone, never used or closed; the
    // child opens its own. What waited in the parent's memory is the parent's to write.
    generation_ = platform::forkGeneration();
    (void)table_.release();
    delivered_.clear();
    writeRetryAfter_.reset();
    openRetryAfter_.reset();
    std::lock_guard<std::mutex> lock(queueMutex_);
    queued_.clear();
  }
  if (table_) return true;
  if (waiting(openRetryAfter_, kReopenIntervalSeconds)) return false;
  openRetryAfter_ = monotonicNow() + kReopenIntervalSeconds;
  const std::optional<std::string> at = path();
  if (!at) return false;  // nowhere to put the file yet
  std::string failure;
  table_ = EventTable::open(*at, limits_.maxFileBytes, failure);
  if (!table_) {
    Logger::log("Cannot open the event store " + *at + ": " + failure);
    return false;
  }
  capsChecked_ = false;
  importLeftBehind();
  return true;
}

// Journals of processes that are gone: their events are written (once, however often this runs)
// before the files go; a damaged one gives what it holds whole.
void DatabaseHelper::importLeftBehind() {
  const std::optional<std::string> at = path();
  if (!at) return;
  for (auto& left : EventJournal::leftBehind(*at)) {
    journal::Contents contents = journal::read(left.bytes);
    dropDelivered(contents.events, delivered_);
    std::string failure;
    if (!table_->write(contents.forgotten, {&contents.events}, failure)) {
      Logger::log("The events left by an earlier process wait for the next start: " + failure);
      return;
    }
    writtenSinceCapCheck_ += contents.events.size();
    left.discard();
    if (contents.skippedBytes > 0) {
      Logger::log("Skipped " + std::to_string(contents.skippedBytes) +
                  " damaged bytes of the event journal " + left.path);
    }
    if (!contents.events.empty()) {
      Logger::log("Imported " + std::to_string(contents.events.size()) +
                  " events recorded by an earlier process");
    }
  }
}

bool DatabaseHelper::writeDue() const {
  return !waiting(writeRetryAfter_, kReopenIntervalSeconds);
}

void DatabaseHelper::drain() {
  if (!openIfDue() || !writeDue()) return;
  for (;;) {
    // Sealed first: a forget that is recorded by now has its mark in these bytes, or in none.
    std::optional<EventJournal::Sealed> sealed = journal_.seal();
    const bool olderFile = sealed && sealed->more;
    journal::Contents contents = sealed ? journal::read(sealed->bytes) : journal::Contents{};
    EventList memory;
    bool forgetTable = false, forgetJournal = false;
    if (!olderFile) {
      std::lock_guard<std::mutex> lock(queueMutex_);
      forgetTable = std::exchange(forgetTable_, false);
      forgetJournal = std::exchange(forgetJournal_, false);
      memory.assign(queued_.begin(), queued_.end());
      queued_.clear();
    }
    if (forgetJournal) contents.events.clear();
    dropDelivered(contents.events, delivered_);
    dropDelivered(memory, delivered_);
    if (contents.skippedBytes > 0) {
      Logger::log("Skipped " + std::to_string(contents.skippedBytes) +
                  " damaged bytes of the event journal");
    }
    const bool clearFirst = forgetTable || contents.forgotten;
    if (!clearFirst && contents.events.empty() && memory.empty()) {
      if (sealed) journal_.release(*sealed);
      if (olderFile) continue;
      return;
    }
    std::string failure;
    if (!table_->write(clearFirst, {&contents.events, &memory}, failure)) {
      writeRetryAfter_ = monotonicNow() + kReopenIntervalSeconds;
      std::lock_guard<std::mutex> lock(queueMutex_);
      forgetTable_ = forgetTable_ || forgetTable;
      forgetJournal_ = forgetJournal_ || forgetJournal;
      queued_.insert(queued_.begin(), memory.begin(), memory.end());
      Logger::log("The recorded events wait for the next write to the event store: " + failure);
      return;
    }
    writeRetryAfter_.reset();
    writtenSinceCapCheck_ += contents.events.size() + memory.size();
    if (sealed) journal_.release(*sealed);
    if (!olderFile) return;
  }
}

std::optional<EventList> DatabaseHelper::getEvents(int limit) {
  drain();
  if (!table_) return std::nullopt;
  {
    // A forget not yet applied (its write failed): nothing stored before it may leave.
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (forgetTable_) return std::nullopt;
  }
  return table_->read(limit);
}

void DatabaseHelper::removeEvents(const EventList& events) {
  drain();
  std::string failure;
  if (table_ && !table_->remove(events, failure)) {
    Logger::log("Error removing records: " + failure);
  }
  // Unless everything recorded is in the file now, some may still wait outside it.
  if (!table_ || !writeDue()) neverWriteLater(events);
}

// Delivered before they reached the file, which cannot take them now: whether they wait in
// memory or in the journal, they are not written there later.
void DatabaseHelper::neverWriteLater(const EventList& events) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    std::erase_if(queued_, [&](const auto& queued) {
      return std::any_of(events.begin(), events.end(),
                         [&](const auto& event) { return event->id == queued->id; });
    });
  }
  // Bounded: a journal that cannot be drained stops taking events long before this.
  if (delivered_.size() > kMemoryQueueLimit) delivered_.clear();
  for (const auto& event : events) delivered_.insert(event->id);
}

std::optional<set_aside::RefusalHistories> DatabaseHelper::noteRefusal(const EventList& events,
                                                                       std::int64_t now) {
  if (!openIfDue()) return std::nullopt;
  auto histories = set_aside::noteRefusal(table_->connection(), events, now);
  if (!histories) {
    Logger::log(std::string("The refusal could not be recorded: ") +
                table_->connection().errorMessage());
  }
  return histories;
}

bool DatabaseHelper::setAside(const EventData& event, const std::string& reason) {
  if (!openIfDue()) return false;
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  const bool moved = set_aside::setAside(table_->connection(), event.id, reason, now);
  const std::string named = "The event " + event.key + " (" + event.id + ")";
  Logger::log(moved ? named + " is set aside: " + reason
                    : named + " could not be set aside: " + table_->connection().errorMessage());
  return moved;
}

void DatabaseHelper::enforceCaps() {
  drain();
  if (!table_) return;
  if (capsChecked_ && writtenSinceCapCheck_ < limits_.capCheckEvery) return;
  capsChecked_ = true;
  writtenSinceCapCheck_ = 0;
  auto& db = table_->connection();
  const auto queued = set_aside::queuedCount(db);
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  const std::string reason = "over the cap of " + std::to_string(limits_.maxEvents) + " events";
  std::size_t excess = queued && *queued > limits_.maxEvents ? *queued - limits_.maxEvents : 0;
  std::size_t movedTotal = 0, droppedTotal = 0;
  // Even with nothing over the queue's cap: rows set aside one at a time count too.
  do {
    const std::size_t moved =
        set_aside::setAsideOldest(db, std::min(excess, kCapChunk), reason, now);
    movedTotal += moved;
    excess = moved == 0 ? 0 : excess - moved;
    const auto asideNow = set_aside::setAsideCount(db);
    if (asideNow && *asideNow > limits_.maxSetAside) {
      droppedTotal += set_aside::dropOldestSetAside(db, *asideNow - limits_.maxSetAside);
    }
  } while (excess > 0);
  if (movedTotal > 0) {
    Logger::log("The event store held more than " + std::to_string(limits_.maxEvents) +
                " events: the oldest " + std::to_string(movedTotal) + " were set aside");
  }
  if (droppedTotal > 0) {
    Logger::log("More than " + std::to_string(limits_.maxSetAside) +
                " events were set aside: the " + std::to_string(droppedTotal) +
                " set aside longest ago were deleted");
  }
}

std::vector<set_aside::SetAsideEvent> DatabaseHelper::setAsideEvents(std::size_t limit) {
  drain();
  if (!table_) return {};
  return set_aside::setAsideEvents(table_->connection(), limit);
}

}  // namespace tavrel_mmp
