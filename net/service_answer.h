#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tavrel_mmp/platform/http_transport.h"

namespace tavrel_mmp {

// How an exchange with the service came out, for every caller that judges an answer by its
// envelope's "responseCode" (each with log lines of its own).
enum class AnswerOutcome { noAnswer, undecodable, refused, accepted };

template <class Envelope>
struct ServiceAnswer {
  AnswerOutcome outcome = AnswerOutcome::noAnswer;
  std::optional<Envelope> envelope;  // when it decoded (refused or accepted)
  // What went wrong: the transport error ("" when there is none), the decoding error, or the
  // service's "responseText".
  std::string problem;

  bool accepted() const { return outcome == AnswerOutcome::accepted; }
};

// Reads one answer: no body, a body that does not decode as `Envelope` (its strict `decode`), a
// code `accepts` refuses, or an accepted envelope.
template <class Envelope, class Accepts>
ServiceAnswer<Envelope> readServiceAnswer(const std::optional<std::vector<std::uint8_t>>& body,
                                          const std::optional<HttpError>& error, Accepts accepts) {
  ServiceAnswer<Envelope> answer;
  if (!body) {
    answer.problem = error ? error->description : std::string();
    return answer;
  }
  answer.envelope = Envelope::decode(*body, &answer.problem);
  if (!answer.envelope) {
    answer.outcome = AnswerOutcome::undecodable;
  } else if (!accepts(answer.envelope->responseCode)) {
    answer.outcome = AnswerOutcome::refused;
    answer.problem = answer.envelope->responseText;
  } else {
    answer.outcome = AnswerOutcome::accepted;
    answer.problem.clear();
  }
  return answer;
}

// The acceptance of most calls: exactly 200.
inline bool acceptsOnly200(std::int64_t responseCode) {
  return responseCode == 200;
}

}  // namespace tavrel_mmp
