// The online-presence heartbeat, driven by the sync timer's ticks.
#include <optional>
#include <string>
#include <vector>

#include "core/logger.h"
#include "events/heartbeat_result_data.h"
#include "events/tracker_state.h"
#include "events/tracking_event.h"
#include "net/http_client.h"

namespace tavrel_mmp {

void TrackingEvent::heartBeat() {
  auto& state = tracker::state();
  const double last = state.lastCheckHeartBeatTime.load();
  if (!tracker::isPresent(last)) return;
  const double current = tracker::monotonicNow();
  // The same tolerance as batches: a tick a little early against the interval still counts.
  if (current - last < state.beatInterval.load() - tracker::kTickTolerance) return;
  // Due time counts from the send, whatever the outcome: a failure is not retried early.
  state.lastCheckHeartBeatTime.store(current);

  HttpClient::shared().post(
      "/partner/online-user/log", PropertyDictionary::object(),
      [](std::optional<std::vector<std::uint8_t>> body, std::optional<HttpError> error) {
        if (!body) {
          Logger::log(error ? error->description : std::string("Error from request"));
          return;
        }
        std::string decodeError;
        auto reply = HeartBeatResultData::decode(*body, &decodeError);
        if (!reply) {
          Logger::log(decodeError);
          return;
        }
        if (reply->responseCode != 200) {
          Logger::log(reply->responseText);
          return;
        }
        Logger::log("Nimbrel ping.......");
        const double interval =
            reply->data ? static_cast<double>(reply->data->second) : tracker::kDefaultBeatInterval;
        tracker::state().beatInterval.store(interval);
      });
}

}  // namespace tavrel_mmp
