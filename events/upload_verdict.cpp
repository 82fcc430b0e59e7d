#include "events/upload_verdict.h"

namespace tavrel_mmp {

UploadVerdict judgeUpload(const ServiceAnswer<ResultData>& answer) {
  switch (answer.outcome) {
    case AnswerOutcome::accepted:
      return UploadVerdict::accepted;
    case AnswerOutcome::noAnswer:
    case AnswerOutcome::undecodable:
      return UploadVerdict::serviceWide;
    case AnswerOutcome::refused:
      break;
  }
  const std::int64_t code = answer.envelope->responseCode;
  const bool serviceWide =
      (code >= 500 && code <= 599) || code == 401 || code == 403 || code == 408 || code == 429;
  return serviceWide ? UploadVerdict::serviceWide : UploadVerdict::contentRefused;
}

std::string refusalReason(const ServiceAnswer<ResultData>& answer) {
  if (!answer.envelope) return answer.problem;
  return std::to_string(answer.envelope->responseCode) + " " + answer.envelope->responseText;
}

bool dueForSplit(const set_aside::RefusalHistories& histories, std::int64_t now) {
  for (const auto& [id, history] : histories) {
    if (history.count >= kRefusalsBeforeSplit && now - history.firstAt >= kRefusalSpreadSeconds) {
      return true;
    }
  }
  return false;
}

}  // namespace tavrel_mmp
