// An event journal file, as a process killed mid-append, a damaged disk or a foreign program
// could leave it: every whole record read from it reads back the same once written again.
#include "events/journal_format.h"
#include "fuzz_support.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const journal::Contents contents = journal::read(fuzz::textOf(data, size));
  fuzz::require(contents.records <= size / 13);
  fuzz::require(contents.events.size() <= contents.records);
  std::string written;
  for (const auto& event : contents.events) journal::appendEvent(written, *event);
  const journal::Contents again = journal::read(written);
  fuzz::require(again.skippedBytes == 0 && !again.forgotten);
  fuzz::require(again.events.size() == contents.events.size());
  for (std::size_t i = 0; i < again.events.size(); ++i) {
    const EventData& a = *contents.events[i];
    const EventData& b = *again.events[i];
    fuzz::require(a.id == b.id && a.key == b.key && a.time == b.time &&
                  a.sessionId == b.sessionId && a.realtime == b.realtime && a.data == b.data &&
                  a.preEvent == b.preEvent);
  }
  return 0;
}
