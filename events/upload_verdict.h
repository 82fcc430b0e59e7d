#pragma once

#include <cstdint>
#include <string>

#include "events/event_set_aside.h"
#include "net/result_data.h"
#include "net/service_answer.h"

namespace tavrel_mmp {

// What an answer to an upload of events means for the events it carried.
enum class UploadVerdict {
  accepted,
  // Nothing about these events: no answer, an answer that is no envelope (a proxy's error page),
  // a failing service (5xx), a missing or expired session (401, 403), a time-out or throttling
  // (408, 429). Counts against no event.
  serviceWide,
  // The service read the request and refused it: any other code than 200 in its envelope.
  contentRefused,
};

// The transport hands over the body of every answer but not its HTTP status, so the envelope's
// code is what is judged (the service repeats its HTTP failures there).
UploadVerdict judgeUpload(const ServiceAnswer<ResultData>& answer);
// "<responseCode> <responseText>" of a refusal, for the rows it sets aside.
std::string refusalReason(const ServiceAnswer<ResultData>& answer);

// A batch the service refused this many times, the first refusal at least this long before the
// last, is sent again in halves until the rows it refuses alone are found and set aside: a single
// bad row never holds back the ones behind it, and a service that briefly refuses everything
// sets nothing aside.
inline constexpr std::int64_t kRefusalsBeforeSplit = 5;
inline constexpr std::int64_t kRefusalSpreadSeconds = 180;

// Whether a row of the refused batch, by its refusal history (`now` in Unix seconds), calls for
// the split.
bool dueForSplit(const set_aside::RefusalHistories& histories, std::int64_t now);

}  // namespace tavrel_mmp
