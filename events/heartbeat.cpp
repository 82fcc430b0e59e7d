#include "events/heartbeat.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "core/logger.h"
#include "core/no_destructor.h"
#include "events/heartbeat_result_data.h"
#include "events/tracker_state.h"
#include "net/http_client.h"
#include "net/service_answer.h"
#include "settings/tracking_consent.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kHeartbeatPath = "/partner/online-user/log";

// Shared by the timer's ticks and the answers on the transport's thread.
struct HeartbeatState {
  std::atomic<double> lastBeat{tracker::kAbsent};  // monotonic seconds
  std::atomic<double> interval{Heartbeat::kDefaultInterval};
};

HeartbeatState& state() {
  static NoDestructor<HeartbeatState> instance;
  return instance.get();
}

void handleAnswer(const std::optional<std::vector<std::uint8_t>>& body,
                  const std::optional<HttpError>& error) {
  const auto answer = readServiceAnswer<HeartBeatResultData>(body, error, &acceptsOnly200);
  if (!answer.accepted()) {
    Logger::log(answer.outcome == AnswerOutcome::noAnswer && answer.problem.empty()
                    ? std::string("Error from request")
                    : answer.problem);
    return;
  }
  Logger::debug("Nimbrel ping.......");
  const auto& data = answer.envelope->data;
  state().interval.store(data ? static_cast<double>(data->second) : Heartbeat::kDefaultInterval);
}

}  // namespace

void Heartbeat::start(double monotonicNow) {
  state().lastBeat.store(monotonicNow);
}

void Heartbeat::beatIfDue() {
  if (!TrackingConsent::isEnabled()) return;
  const double last = state().lastBeat.load();
  if (!tracker::isPresent(last)) return;
  const double current = tracker::monotonicNow();
  // The same tolerance as batches: a tick a little early against the interval still counts.
  if (current - last < state().interval.load() - tracker::kTickTolerance) return;
  // Due time counts from the send, whatever the outcome: a failure is not retried early.
  state().lastBeat.store(current);
  HttpClient::shared().post(kHeartbeatPath, PropertyDictionary::object(), &handleAnswer);
}

}  // namespace tavrel_mmp
