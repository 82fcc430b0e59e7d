#include "events/event_exporter.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "net/service_answer.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kEventLogPath = "/partner/event/log";

// Calls `done` once: with the result it is given, or "not sent" when it goes unanswered (a
// completion the transport dropped without calling it).
class OnceDone {
 public:
  explicit OnceDone(ExportDone done) : done_(std::move(done)) {}
  ~OnceDone() { finish({}); }
  OnceDone(const OnceDone&) = delete;
  OnceDone& operator=(const OnceDone&) = delete;

  void finish(ExportResult result) {
    if (ExportDone done = std::exchange(done_, nullptr)) done(std::move(result));
  }

 private:
  ExportDone done_;
};

// The transport hands over the body of every answer but not its HTTP status, so the envelope's
// code is what is judged (the service repeats its HTTP failures there).
ExportResult judge(const ServiceAnswer<ResultData>& answer) {
  using Outcome = ExportResult::Outcome;
  switch (answer.outcome) {
    case AnswerOutcome::accepted:
      return {Outcome::accepted, 200, {}};
    case AnswerOutcome::noAnswer:
    case AnswerOutcome::undecodable:
      return {Outcome::failedServiceWide, 0, answer.problem};
    case AnswerOutcome::refused:
      break;
  }
  const std::int64_t code = answer.envelope->responseCode;
  const bool serviceWide =
      (code >= 500 && code <= 599) || code == 401 || code == 403 || code == 408 || code == 429;
  return {serviceWide ? Outcome::failedServiceWide : Outcome::refusedForContent, code,
          std::to_string(code) + " " + answer.envelope->responseText};
}

ExportResult readAnswer(const std::optional<std::vector<std::uint8_t>>& body,
                        const std::optional<HttpError>& error) {
  const auto answer = readServiceAnswer<ResultData>(body, error, &acceptsOnly200);
  if (answer.accepted()) {
    Logger::log("----- sync successful -----");
  } else {
    Logger::warning("----- sync error -----");
    Logger::warning(answer.outcome == AnswerOutcome::noAnswer && answer.problem.empty()
                        ? std::string("Error from request")
                        : answer.problem);
  }
  return judge(answer);
}

}  // namespace

void HttpEventExporter::exportEvents(const EventList& events, std::uint64_t epoch,
                                     ExportDone done) {
  auto once = std::make_shared<OnceDone>(std::move(done));
  // Held until the transport has the request, so that a forget cannot slip in between.
  const auto hold = TrackingConsent::hold(epoch);
  if (!hold || !TrackingConsent::isEnabled()) return;  // `once` ends unanswered: not sent
  // Body and headers from one reading of the stored session: a record stored meanwhile never
  // gives a batch the token without the session identifiers, or the other way round.
  const std::optional<AuthData> session = StorageHelper::shared().getAuthData();
  PropertyDictionary body = PropertyDictionary::object();
  body["events"] = EventData::convertToArray(events, session);
  HttpClient::shared().post(
      kEventLogPath, body, session,
      [once](std::optional<std::vector<std::uint8_t>> reply, std::optional<HttpError> error) {
        once->finish(readAnswer(reply, error));
      });
}

}  // namespace tavrel_mmp
