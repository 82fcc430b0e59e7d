#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "events/event_data.h"

namespace tavrel_mmp {

// How one export of events ended.
struct ExportResult {
  enum class Outcome {
    accepted,
    // The service read the request and refused it: a code other than 200 in its envelope that
    // says nothing about the service as a whole.
    refusedForContent,
    // Nothing about these events: no answer, an answer that is no envelope (a proxy's error
    // page), a failing service (5xx), a missing or expired session (401, 403), a time-out or
    // throttling (408, 429).
    failedServiceWide,
    // It never left: tracking is off, or the installation was forgotten since the events were
    // read.
    notSent,
  };
  Outcome outcome = Outcome::notSent;
  std::int64_t code = 0;  // the envelope's, when it decoded
  std::string reason;     // of a refusal: "<responseCode> <responseText>"
};

// Called exactly once per export, on any thread.
using ExportDone = std::function<void(ExportResult)>;

// Sends events to the measurement service: the wire work alone (body, headers, envelope,
// verdict). What follows an outcome is the batch processor's (events/batch_processor.h).
class EventExporter {
 public:
  virtual ~EventExporter() = default;
  // Exports `events` unless tracking is off or the installation's epoch moved on since
  // `epoch`; ends in exactly one call of `done`.
  virtual void exportEvents(const EventList& events, std::uint64_t epoch, ExportDone done) = 0;
};

// Posts {"events": [...]} to "/partner/event/log" through the HTTP client.
class HttpEventExporter : public EventExporter {
 public:
  void exportEvents(const EventList& events, std::uint64_t epoch, ExportDone done) override;
};

}  // namespace tavrel_mmp
