#include "crash/crashlytics.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <mutex>
#include <optional>

#include "core/common.h"
#include "core/logger.h"
#include "core/no_destructor.h"
#include "crash/crash_file.h"
#include "crash/crash_inbox.h"
#include "crash/crash_watch.h"
#include "crash/exception_report.h"
#include "crash/fatal_record_sink.h"
#include "crash/fatal_signal.h"
#include "crash/signal_chain.h"
#include "device/device_info.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "net/service_answer.h"
#include "settings/settings_keys.h"
#include "settings/storage_helper.h"
#include "settings/tracking_consent.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

using settings_keys::kLastCrash;
using settings_keys::kLastCrashHash;
constexpr const char* kCrashLogPath = "/partner/crash/log";
constexpr std::array<int, 5> kHandledSignals = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS};

// Process-long capture state; the signal records are read from signal context, so they are
// built before the first handler is installed and never change or go away.
struct CaptureState {
  std::mutex mutex;
  bool signalRecordsReady = false;
  std::array<std::string, kHandledSignals.size()> signalRecords;
  bool terminateInstalled = false;
  // Set up at least once: a host that leaves crashes to its own reporter never calls setup.
  bool capturing = false;
  bool toldNoDirectory = false;
  std::atomic<std::terminate_handler> previousTerminate{nullptr};
};

CaptureState& capture() {
  static NoDestructor<CaptureState> state;
  return state.get();
}

void prepareSignalRecords(CaptureState& state) {
  if (state.signalRecordsReady) return;
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    const std::string number = std::to_string(kHandledSignals[i]);
    state.signalRecords[i] =
        CrashFile::encode({"Signal " + number + " caught", Common::md5(number)});
  }
  state.signalRecordsReady = true;
}

void installTerminateHook(CaptureState& state, std::terminate_handler ours) {
  const std::terminate_handler current = std::get_terminate();
  if (current == ours) return;
  if (state.terminateInstalled) {
    // The host set its own after ours; in front of it again, ours would call it and it ours.
    Logger::log("The host's terminate handler stays in front of the crash capture");
    return;
  }
  state.previousTerminate = current;
  std::set_terminate(ours);
  state.terminateInstalled = true;
}

void installSignalHandlers(SignalAction ours) {
  for (int signal : kHandledSignals) {
    switch (SignalChain::install(signal, ours)) {
      case SignalChain::Installed::failed:
        Logger::log("Cannot install the handler for signal " + std::to_string(signal));
        break;
      case SignalChain::Installed::leftToHost:
        Logger::log("The host's handler for signal " + std::to_string(signal) +
                    " stays in front of the crash capture");
        break;
      case SignalChain::Installed::installed:
      case SignalChain::Installed::inFront:
        break;
    }
  }
}

}  // namespace

void Crashlytics::setup() {
  auto& state = capture();
  std::lock_guard lock(state.mutex);
  prepareSignalRecords(state);
  state.capturing = true;
  prepareCrashFile();
  installTerminateHook(state, &Crashlytics::onTerminate);
  SignalChain::ensureAlternateStack();
  installSignalHandlers(&Crashlytics::onSignal);
}

// Called with the capture lock held, at every start of work. Cheap while this process's crash
// file is open in the documents directory; otherwise the files that processes which are gone
// left there are imported and ours is made (again: it may have failed before, or the
// directory changed, or this is a forked child whose file is still the parent's).
void Crashlytics::prepareCrashFile() {
  auto& state = capture();
  const std::optional<std::string> directory = platform::documentsDirectory().path();
  if (!directory) {
    FatalRecordSink::close();
    if (!state.toldNoDirectory) {
      Logger::log("No documents directory: crashes of this process are not recorded");
    }
    state.toldNoDirectory = true;
    return;
  }
  state.toldNoDirectory = false;
  if (FatalRecordSink::openDirectory() != directory) {
    CrashInbox::importFrom(*directory, [](const CrashRecord& record) {
      return saveCrashLog(record.text, record.hash);
    });
    if (!FatalRecordSink::open(*directory)) {
      Logger::log("Cannot prepare the crash file in " + *directory);
      return;
    }
  }
  if (!CrashWatch::ensureRunning()) {
    Logger::log(
        "Cannot start the crash watch: a fault the host handles by jumping out of its "
        "handler would count as a crash");
  }
}

void Crashlytics::onTerminate() {
  static std::atomic<long> handlingThread{0};
  long idle = 0;
  if (!handlingThread.compare_exchange_strong(idle, ::syscall(SYS_gettid))) {
    // Called back by a handler that keeps ours as its earlier one, or a second thread ending
    // the process: the first round goes on, this one does not start another.
    std::abort();
  }
  handleException(std::current_exception());
  const std::terminate_handler previous = capture().previousTerminate.load();
  if (previous != nullptr && previous != &Crashlytics::onTerminate) previous();
  std::abort();
}

void Crashlytics::handleException(const std::exception_ptr& exception) {
  if (TrackingConsent::knownOff()) return;
  try {
    const ExceptionReport report = describeException(exception);
    const std::string text =
        "Unhandled exception: " + report.description + "\n" + currentStackSymbols();
    const std::string bytes =
        CrashFile::encode({text, Common::md5(std::to_string(report.hashValue))});
    FatalRecordSink::keep(bytes);
  } catch (...) {
    // The process ends anyway; the terminate hook goes on with the previous handler.
  }
}

void Crashlytics::onSignal(int signal, siginfo_t* info, void* context) {
  const auto& records = capture().signalRecords;
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    if (kHandledSignals[i] == signal) {
      // With tracking off nothing is recorded; the signal still goes its way.
      handleFatalSignal(signal, info, context,
                        TrackingConsent::knownOff() ? std::string_view() : records[i]);
      return;
    }
  }
}

void Crashlytics::atLibraryCall() {
  CrashWatch::settleIfAnyOpen();
}

void Crashlytics::forget() {
  StorageHelper::shared().deleteValue(kLastCrash);
  StorageHelper::shared().deleteValue(kLastCrashHash);
  // The crash files processes that are gone left: the forgotten installation's, never read.
  if (const auto directory = platform::documentsDirectory().path()) {
    CrashInbox::importFrom(*directory, [](const CrashRecord&) { return true; });
  }
  // So are those still waiting for the store to write their record.
  CrashInbox::storeWritten();
}

bool Crashlytics::saveCrashLog(const std::string& text, const std::string& hash) {
  StorageHelper::shared().save(text, kLastCrash);
  StorageHelper::shared().save(hash, kLastCrashHash);
  if (platform::preferencesStore().flush()) {
    CrashInbox::storeWritten();
    return true;
  }
  Logger::log("The crash record could not be written to storage");
  return false;
}

void Crashlytics::check() {
  {
    std::lock_guard lock(capture().mutex);
    if (capture().capturing) prepareCrashFile();
  }
  const std::optional<std::string> text = StorageHelper::shared().getValue(kLastCrash);
  if (!text || text->empty()) return;
  const std::optional<std::string> hash = StorageHelper::shared().getValue(kLastCrashHash);
  sendCrashLogToServer(*text, hash ? *hash : Common::md5(*text));
}

void Crashlytics::recordError(const std::string& name, const std::string& stackTrace) {
  if (!TrackingConsent::isEnabled())
    return Logger::log("Tracking is off: the error is not recorded");
  const bool authenticated = StorageHelper::shared().getAuthData().has_value();
  const std::string hash = Common::md5(name);
  if (authenticated) {
    sendCrashLogToServer(stackTrace, hash);
  } else {
    saveCrashLog(stackTrace, hash);
  }
}

void Crashlytics::sendCrashLogToServer(const std::string& text, const std::string& hash) {
  const PropertyDictionary body = {
      {"platform", "ios"},
      {"hash", hash},
      {"deviceModel", DeviceInfo::getDeviceIdentifier()},
      {"osVersion", platform::deviceFacts().systemVersion()},
      {"appVersion", DeviceInfo::getAppVersionName()},
      {"stackTrace", text},
  };
  const std::uint64_t epoch = TrackingConsent::epoch();
  HttpClient::shared().post(kCrashLogPath, body,
                            [text, hash, epoch](std::optional<std::vector<std::uint8_t>> response,
                                                std::optional<HttpError> error) {
                              const auto answer = readServiceAnswer<ResultData>(
                                  response, error,
                                  [](std::int64_t code) { return code >= 200 && code <= 299; });
                              if (answer.accepted()) return (void)saveCrashLog("", "");
                              Logger::log(answer.problem);
                              // Every failure keeps the record (again) for the next authentication,
                              // unless the installation was forgotten meanwhile.
                              if (TrackingConsent::sameInstallation(epoch))
                                saveCrashLog(text, hash);
                            });
}

}  // namespace tavrel_mmp
