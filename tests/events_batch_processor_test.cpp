// The upload policy against an exporter that answers by a script: what follows each outcome,
// and that every path frees the batch in flight.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "events/batch_processor.h"
#include "events/database_helper.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using Outcome = ExportResult::Outcome;
using Script = std::function<ExportResult(const EventList&)>;

// Answers each export at once by its script, and keeps what it was given.
class ScriptedExporter : public EventExporter {
 public:
  explicit ScriptedExporter(Script script) : script_(std::move(script)) {}
  void exportEvents(const EventList& events, std::uint64_t, ExportDone done) override {
    exports.push_back(events.size());
    done(script_(events));
  }
  std::vector<std::size_t> exports;

 private:
  Script script_;
};

// Refuses every export that carries a "bad" event.
ExportResult refusingBad(const EventList& events) {
  const bool bad = std::any_of(events.begin(), events.end(),
                               [](const auto& e) { return e->id.starts_with("bad"); });
  return bad ? ExportResult{Outcome::refusedForContent, 400, "400 bad"}
             : ExportResult{Outcome::accepted, 200, ""};
}

Script always(Outcome outcome, std::int64_t code = 0) {
  return [=](const EventList&) { return ExportResult{outcome, code, "refused"}; };
}

TEST(BatchProcessor, EachOutcomeIsFollowedAsThePolicySaysAndTheBatchEnds) {
  const struct {
    const char* name;
    Script script;
    bool dueForSplit;
    std::vector<std::size_t> exports;
    std::set<std::string> setAside;
    std::size_t left;
  } cases[] = {
      {"service-wide failure", always(Outcome::failedServiceWide, 503), true, {8}, {}, 8},
      {"not sent", always(Outcome::notSent), true, {8}, {}, 8},
      {"refused, not yet for long", refusingBad, false, {8}, {}, 8},
      // Halves: [e0..e3] accepted, [e4 e5 bad6 bad7] refused; [e4 e5], [bad6 bad7]; the two
      // bad ones are refused alike, but other events were accepted meanwhile.
      {"refused rows among good ones",
       refusingBad,
       true,
       {8, 4, 4, 2, 2, 1, 1},
       {"bad6", "bad7"},
       0},
      // Every part refused alike, nothing accepted: the whole service refuses.
      {"everything refused alike", always(Outcome::refusedForContent, 404), true, {8, 4, 4}, {}, 8},
      {"service failing during the split",
       [n = 0](const EventList&) mutable {
         return ++n == 1 ? ExportResult{Outcome::refusedForContent, 400, "400 bad"}
                         : ExportResult{Outcome::failedServiceWide, 500, ""};
       },
       true,
       {8, 4},
       {},
       8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    testing::installIsolatedPlatform(dir.path());
    const auto time = testing::installManualTime();
    DatabaseHelper store(dir.path() + "/events.sqlite3");
    EventList batch;
    for (const char* id : {"e0", "e1", "e2", "e3", "e4", "e5", "bad6", "bad7"}) {
      batch.push_back(std::make_shared<EventData>(id, "k", 100, "s", false));
      store.addEvent(*batch.back());
    }
    if (c.dueForSplit) {
      const auto now = static_cast<std::int64_t>(time.clock->now());
      store.drain();
      for (int i = 0; i < BatchProcessor::kRefusalsBeforeSplit - 1; ++i)
        store.noteRefusal(batch, now - BatchProcessor::kRefusalSpreadSeconds);
    }
    ScriptedExporter exporter(c.script);
    BatchProcessor processor(store, exporter);
    ASSERT_EQ(processor.startBatch(0), std::optional<std::size_t>(8));
    time.loop->runPending();
    EXPECT_FALSE(processor.batchInFlight());
    EXPECT_EQ(exporter.exports, c.exports);
    std::set<std::string> aside;
    for (const auto& e : store.setAsideEvents()) aside.insert(e.event->id);
    EXPECT_EQ(aside, c.setAside);
    EXPECT_EQ(store.getEvents(100)->size(), c.left);
    if (std::string(c.name) != "everything refused alike") continue;
    // The next batch refused alike is not split again at once: it would find nothing.
    exporter.exports.clear();
    processor.startBatch(0);
    time.loop->runPending();
    EXPECT_EQ(exporter.exports, std::vector<std::size_t>{8});
  }
}

TEST(BatchProcessor, WhileNothingMayLeaveTheStoreStillKeepsToItsCaps) {
  testing::TempDir dir;
  testing::installIsolatedPlatform(dir.path());
  const auto time = testing::installManualTime();
  DatabaseHelper store(dir.path() + "/events.sqlite3", {.maxEvents = 4, .capCheckEvery = 1});
  for (int i = 0; i < 8; ++i)
    store.addEvent(EventData("e" + std::to_string(i), "k", 100.0 + i, "s", false));
  ScriptedExporter exporter(always(Outcome::accepted));
  BatchProcessor processor(store, exporter);
  processor.keepWithinCaps();
  EXPECT_TRUE(exporter.exports.empty());
  EXPECT_EQ(store.getEvents(100)->size(), 4u);
  EXPECT_EQ(store.setAsideEvents().size(), 4u);
}

}  // namespace
}  // namespace tavrel_mmp
