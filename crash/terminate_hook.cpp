#include "crash/terminate_hook.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>

#include "core/common.h"
#include "core/logger.h"
#include "core/no_destructor.h"
#include "crash/exception_report.h"
#include "crash/signal/record_file.h"
#include "settings/tracking_consent.h"

namespace tavrel_mmp {
namespace {

// Read by the hook in a dying process: never destroyed.
std::atomic<std::terminate_handler> previous{nullptr};

struct Installation {
  std::mutex mutex;
  bool done = false;
};
Installation& installation() {
  static NoDestructor<Installation> state;
  return state.get();
}

void keepRecord(const std::exception_ptr& exception) {
  if (TrackingConsent::knownOff()) return;
  try {
    const ExceptionReport report = describeException(exception);
    const std::string text =
        "Unhandled exception: " + report.description + "\n" + currentStackSymbols();
    RecordFile::keep(text, Common::md5(std::to_string(report.hashValue)));
  } catch (...) {
    // The process ends anyway; the hook goes on with the previous one.
  }
}

void onTerminate() {
  static std::atomic<long> handlingThread{0};
  long idle = 0;
  if (!handlingThread.compare_exchange_strong(idle, ::syscall(SYS_gettid))) {
    // Called back by a hook that keeps ours as its earlier one, or a second thread ending the
    // process: the first round goes on, this one does not start another.
    std::abort();
  }
  keepRecord(std::current_exception());
  const std::terminate_handler earlier = previous.load();
  if (earlier != nullptr && earlier != &onTerminate) earlier();
  std::abort();
}

}  // namespace

void TerminateHook::install() {
  auto& state = installation();
  std::lock_guard lock(state.mutex);
  const std::terminate_handler current = std::get_terminate();
  if (current == &onTerminate) return;
  if (state.done) {
    Logger::log("The host's terminate handler stays in front of the crash capture");
    return;
  }
  previous = current;
  std::set_terminate(&onTerminate);
  state.done = true;
}

}  // namespace tavrel_mmp
