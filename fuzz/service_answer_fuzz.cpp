// The upload and heartbeat answers: the common envelope and the heartbeat's, read as their
// callers read them.
#include "events/heartbeat_result_data.h"
#include "fuzz_support.h"
#include "net/result_data.h"
#include "net/service_answer.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto body = fuzz::bytesOf(data, size);
  const auto upload = readServiceAnswer<ResultData>(body, std::nullopt, &acceptsOnly200);
  const auto heartbeat =
      readServiceAnswer<HeartBeatResultData>(body, std::nullopt, &acceptsOnly200);
  // A heartbeat answer is the envelope with more: whatever it accepts, the envelope accepts.
  fuzz::require(!heartbeat.envelope || upload.envelope);
  fuzz::require(heartbeat.accepted() <= upload.accepted());
  return 0;
}
