// A host application for process-level tests of the event pipeline.
//   pipeline_host log-forever DIR            log events until killed, "logged N" after each
//   pipeline_host exit-inflight DIR URL N    authenticate, log N events, say "logged", wait for
//                                            the file DIR/go, then return from main at once
//   pipeline_host drain DIR URL              authenticate, log one event, tick until the store
//                                            is empty, then exit
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "secret/secret_generator.h"
#include "session/storage_helper.h"
#include "support/pipeline_fixture.h"
#include "support/test_support.h"
#include "tavrel_mmp/nimbrel.h"

using namespace tavrel_mmp;
using namespace std::chrono_literals;

namespace {

void say(const std::string& line) {
  const std::string out = line + "\n";
  (void)!::write(STDOUT_FILENO, out.data(), out.size());
}


}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1];
  testing::installIsolatedPlatform(argv[2], "com.tavrel.host");

  if (mode == "log-forever") {
    for (int i = 0; i < 1'000'000; ++i) {
      Nimbrel::logEvent("durable", PropertyDictionary{{"seq", i}});
      say("logged " + std::to_string(i));
    }
    return 0;
  }
  if (mode == "exit-inflight" && argc == 5) {
    if (!testing::startAndAuthenticate("HOST", argv[3])) return 3;
    for (int i = 0; i < std::atoi(argv[4]); ++i)
      Nimbrel::logEvent("before_exit", PropertyDictionary{{"seq", i}});
    say("logged");
    // The test creates the file once the batch has reached the (slow) service.
    const std::string go = std::string(argv[2]) + "/go";
    if (!testing::waitUntil([&] { return ::access(go.c_str(), F_OK) == 0; }, 60s)) return 4;
    say("returning");
    return 0;
  }
  if (mode == "drain" && argc == 4) {
    testing::installCurlTransport();
    auto time = testing::installManualTime();
    if (!testing::startAndAuthenticate("HOST", argv[3])) return 3;
    Nimbrel::logEvent("drain_marker", std::nullopt);
    for (int i = 0; i < 100 && testing::pendingEventCount() > 0; ++i)
      testing::tickAndSettle(*time.loop);
    say("pending " + std::to_string(testing::pendingEventCount()));
    return 0;
  }
  return 2;
}
