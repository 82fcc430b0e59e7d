#include "events/batch_processor.h"

#include "core/logger.h"
#include "events/database_helper.h"
#include "events/upload_lock.h"
#include "events/upload_outcomes.h"
#include "platform/per_process.h"
#include "tavrel_mmp/platform/clock.h"
#include "tavrel_mmp/platform/main_loop.h"

namespace tavrel_mmp {
namespace {

using Outcome = ExportResult::Outcome;

double monotonicNow() {
  return platform::clock().monotonic();
}

bool refusedAlike(const ExportResult& first, const ExportResult& second) {
  return first.outcome == Outcome::refusedForContent &&
         second.outcome == Outcome::refusedForContent && first.code == second.code;
}

// Whether a split goes on after this part: not after a failure of the whole service or a part
// that never left (the next batch starts over, and the refusal counts on disk bring it back).
bool splitGoesOn(const ExportResult& result) {
  return result.outcome == Outcome::accepted || result.outcome == Outcome::refusedForContent;
}

}  // namespace

// A refused batch sent again in halves, the older half first. A refusal is about what a part
// carries only when the service accepted other events meanwhile (the sibling half, another
// upload); when both halves of a part are refused alike and it accepted nothing since the batch
// left, the service refuses everything (a token it no longer honours, a misrouted URL, an API
// it no longer speaks): the split stops and nothing is set aside.
struct BatchProcessor::Split {
  std::uint64_t epoch = 0;
  std::uint64_t acceptedBefore = 0;
  std::vector<EventList> refusedParts;  // still to split, the next one last
  Token token;                          // the batch stays in flight while the split goes on
};

BatchProcessor& BatchProcessor::shared() {
  // A forked child starts afresh, over its own store: no batch or real-time upload of the
  // parent's is its own.
  struct Shared {
    HttpEventExporter exporter;
    BatchProcessor processor{DatabaseHelper::shared(), exporter};
  };
  static platform::PerProcess<Shared> instance;
  return instance.get().processor;
}

BatchProcessor::BatchProcessor(DatabaseHelper& store, EventExporter& exporter)
    : store_(store), exporter_(exporter) {}

BatchProcessor::Uploading BatchProcessor::takeUploadLock() {
  const std::optional<std::string> path = store_.filePath();
  return path ? UploadLock::tryTake(*path) : nullptr;
}

BatchProcessor::Token BatchProcessor::takeBatchToken(Uploading uploading) {
  // Test and set in one step: of two callers arriving together only one gets it.
  bool expected = false;
  if (!batchInFlight_.compare_exchange_strong(expected, true)) return nullptr;
  // The upload lock goes with the token, when the batch's last continuation ends.
  return Token(this, [this, uploading = std::move(uploading)](void*) mutable {
    uploading.reset();
    batchInFlight_.store(false);
  });
}

// The oldest stored events, leaving out real-time events whose own upload is under way (their
// marks go only once their outcome is applied on this thread, after this read or before it).
EventList BatchProcessor::readBatch() {
  EventList batch;
  // Enough rows that the marked ones cannot crowd the batch out: few are ever in flight.
  for (auto& event : store_.getEvents(batchSize * 2).value_or(EventList{})) {
    if (batch.size() == static_cast<std::size_t>(batchSize)) break;
    if (!realtime_.contains(event->id)) batch.push_back(std::move(event));
  }
  return batch;
}

void BatchProcessor::exportThen(const EventList& events, std::uint64_t epoch,
                                std::function<void(const ExportResult&)> apply) {
  exporter_.exportEvents(events, epoch, [apply = std::move(apply)](ExportResult result) {
    platform::mainLoop().post([apply, result = std::move(result)] { apply(result); });
  });
}

void BatchProcessor::settle(const EventList& events, const ExportResult& result) {
  if (result.outcome != Outcome::accepted) return UploadOutcomes::note(events, false);
  accepted_.fetch_add(1);
  // Exactly the rows of this export: events stored since it left stay.
  store_.removeEvents(events);
  UploadOutcomes::note(events, true);
}

std::optional<std::size_t> BatchProcessor::startBatch(std::uint64_t epoch) {
  if (batchInFlight_.load()) return std::nullopt;
  Uploading uploading = takeUploadLock();
  if (!uploading) {
    // Another process is uploading from the same store: its rows are not this batch's to read.
    Logger::log("Another process is uploading stored events; the batch waits for the next tick");
    return 0;
  }
  Token token = takeBatchToken(std::move(uploading));
  if (!token) return std::nullopt;
  const std::uint64_t acceptedBefore = accepted_.load();
  store_.enforceCaps();
  EventList batch = readBatch();
  const std::size_t count = batch.size();
  if (batch.empty()) return count;
  exportThen(batch, epoch, [this, batch, epoch, acceptedBefore, token](const ExportResult& result) {
    settle(batch, result);
    if (result.outcome == Outcome::refusedForContent) {
      afterRefusedBatch(batch, result, epoch, acceptedBefore, token);
    }
  });
  return count;
}

void BatchProcessor::keepWithinCaps() {
  if (batchInFlight_.load()) return;
  if (const Uploading uploading = takeUploadLock()) store_.enforceCaps();
}

void BatchProcessor::exportAlone(const std::shared_ptr<EventData>& event, std::uint64_t epoch,
                                 RealtimeInFlight::Mark mark) {
  // Leaves the batch state alone: a batch in flight stays the only one in flight.
  Uploading uploading = takeUploadLock();
  if (!uploading) {
    Logger::log("Another process is uploading stored events; " + event->key +
                " waits in the store for a batch");
    return;
  }
  const EventList single{event};
  exportThen(single, epoch, [this, single, mark, uploading](const ExportResult& result) {
    settle(single, result);  // a refused one stays stored and leaves with a later batch
  });
}

// Counts the refusal against every row of the batch (on disk before anything depends on it),
// then splits the batch when a row is due for it.
void BatchProcessor::afterRefusedBatch(const EventList& batch, const ExportResult& result,
                                       std::uint64_t epoch, std::uint64_t acceptedBefore,
                                       Token token) {
  const auto now = static_cast<std::int64_t>(platform::clock().now());
  const auto histories = store_.noteRefusal(batch, now);
  if (!histories || !dueForSplit(*histories, now)) return;
  // After the service refused every part alike, the next split waits: it would cost requests
  // and find nothing.
  if (splitPausedUntil_ && monotonicNow() < *splitPausedUntil_) return;
  Logger::log("The service keeps refusing a batch of " + std::to_string(batch.size()) +
              " events (" + result.reason + "): sending it in parts to find the refused ones");
  splitNext(std::make_shared<Split>(Split{epoch, acceptedBefore, {batch}, std::move(token)}));
}

void BatchProcessor::splitNext(std::shared_ptr<Split> split) {
  if (split->refusedParts.empty()) return;
  const EventList part = std::move(split->refusedParts.back());
  split->refusedParts.pop_back();
  const auto middle = part.begin() + static_cast<std::ptrdiff_t>((part.size() + 1) / 2);
  const EventList first(part.begin(), middle), second(middle, part.end());
  exportThen(first, split->epoch, [this, split, first, second](const ExportResult& firstResult) {
    settle(first, firstResult);
    if (!splitGoesOn(firstResult)) return;
    exportThen(second, split->epoch,
               [this, split, first, second, firstResult](const ExportResult& secondResult) {
                 settle(second, secondResult);
                 if (!splitGoesOn(secondResult)) return;
                 afterBothHalves(split, first, firstResult, second, secondResult);
               });
  });
}

// Both halves of a part came back: each one refused is split further, or set aside when it is a
// single row.
void BatchProcessor::afterBothHalves(std::shared_ptr<Split> split, const EventList& first,
                                     const ExportResult& firstResult, const EventList& second,
                                     const ExportResult& secondResult) {
  if (refusedAlike(firstResult, secondResult) && accepted_.load() == split->acceptedBefore) {
    splitPausedUntil_ = monotonicNow() + kRefusalSpreadSeconds;
    Logger::log("The service refuses every part of the batch alike (" + secondResult.reason +
                "): the refusal is not about the events, none is set aside");
    return;
  }
  for (const auto& [part, result] : {std::pair{&second, &secondResult}, {&first, &firstResult}}) {
    if (result->outcome != Outcome::refusedForContent) continue;
    if (part->size() == 1) {
      store_.setAside(*part->front(), result->reason);
    } else {
      split->refusedParts.push_back(*part);
    }
  }
  splitNext(std::move(split));
}

bool BatchProcessor::dueForSplit(const set_aside::RefusalHistories& histories, std::int64_t now) {
  for (const auto& [id, history] : histories) {
    if (history.count >= kRefusalsBeforeSplit && now - history.firstAt >= kRefusalSpreadSeconds) {
      return true;
    }
  }
  return false;
}

}  // namespace tavrel_mmp
