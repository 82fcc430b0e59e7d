#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/event_data.h"
#include "events/event_exporter.h"
#include "events/event_set_aside.h"
#include "events/realtime_in_flight.h"
#include "events/upload_lock.h"

namespace tavrel_mmp {

class DatabaseHelper;

// The upload policy over one exporter: what a batch carries, and what follows each export's
// outcome (remove the rows, count a refusal and split, keep them). Batches and their follow-ups
// run on the library's thread (the main loop); an exporter may end on any thread, and its
// outcome is applied back on the library's thread.
//
// A batch in flight is a token carried by every continuation of its export; the last one to
// end frees it, so no path can leave the next batch stopped. The token holds the upload lock
// beside the store, as does a real-time upload, so that no two processes on the same files
// send the same rows. Real-time events are marked the
// same way (events/realtime_in_flight.h).
class BatchProcessor {
 public:
  // The store at the documents directory and the service's event log; never destroyed.
  static BatchProcessor& shared();

  BatchProcessor(DatabaseHelper& store, EventExporter& exporter);
  BatchProcessor(const BatchProcessor&) = delete;
  BatchProcessor& operator=(const BatchProcessor&) = delete;

  // The library's thread. Unless a batch is in flight: exports the oldest `batchSize` stored
  // events, leaving out real-time ones whose own upload is under way. How many it read, none
  // when a batch was in flight.
  std::optional<std::size_t> startBatch(std::uint64_t epoch);

  // The library's thread, while nothing may leave (consent pending, offline): the store keeps
  // to its caps as it does before each batch, unless another process is uploading from it.
  void keepWithinCaps();

  // The recording thread, before the event is stored: no batch takes it until `exportAlone`
  // ends.
  RealtimeInFlight::Mark markRealtime(const std::string& id) { return realtime_.mark(id); }
  // The library's thread: exports the event on its own at once.
  void exportAlone(const std::shared_ptr<EventData>& event, std::uint64_t epoch,
                   RealtimeInFlight::Mark mark);

  bool batchInFlight() const { return batchInFlight_.load(); }

  static constexpr int batchSize = 50;
  // A batch the service refused this many times, the first refusal at least this long before
  // the last, is sent again in halves until the rows it refuses alone are found and set aside:
  // a single bad row never holds back the ones behind it, and a service that briefly refuses
  // everything sets nothing aside.
  static constexpr std::int64_t kRefusalsBeforeSplit = 5;
  static constexpr std::int64_t kRefusalSpreadSeconds = 180;

 private:
  using Token = std::shared_ptr<void>;
  // Kept by an upload from the read of its rows until its outcome is handled, so that no other
  // process on the same store reads and sends them meanwhile (events/upload_lock.h).
  using Uploading = std::shared_ptr<UploadLock::Held>;
  struct Split;

  Uploading takeUploadLock();
  Token takeBatchToken(Uploading uploading);
  EventList readBatch();
  // Runs `apply` with the outcome on the library's thread.
  void exportThen(const EventList& events, std::uint64_t epoch,
                  std::function<void(const ExportResult&)> apply);
  // The outcome's own effect on these rows: removed when accepted.
  void settle(const EventList& events, const ExportResult& result);
  void afterRefusedBatch(const EventList& batch, const ExportResult& result, std::uint64_t epoch,
                         std::uint64_t acceptedBefore, Token token);
  void splitNext(std::shared_ptr<Split> split);
  void afterBothHalves(std::shared_ptr<Split> split, const EventList& first,
                       const ExportResult& firstResult, const EventList& second,
                       const ExportResult& secondResult);
  static bool dueForSplit(const set_aside::RefusalHistories& histories, std::int64_t now);

  DatabaseHelper& store_;
  EventExporter& exporter_;
  std::atomic<bool> batchInFlight_{false};
  // Exports the service accepted in this process (batches, their parts, real-time ones): a
  // refusal is about content only when the service accepts other events meanwhile.
  std::atomic<std::uint64_t> accepted_{0};
  // Monotonic seconds until which no refused batch is split again (the service last refused
  // every part alike); library's thread.
  std::optional<double> splitPausedUntil_;
  RealtimeInFlight realtime_;
};

}  // namespace tavrel_mmp
