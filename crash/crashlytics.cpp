#include "crash/crashlytics.h"

#include <signal.h>

#include <array>
#include <atomic>
#include <mutex>
#include <optional>

#include "core/common.h"
#include "core/logger.h"
#include "core/no_destructor.h"
#include "crash/alternate_stack.h"
#include "crash/crash_inbox.h"
#include "crash/crash_watch.h"
#include "crash/frame_symbols.h"
#include "crash/loaded_modules.h"
#include "crash/own_crash_file.h"
#include "crash/signal/fatal_signal.h"
#include "crash/signal/signal_chain.h"
#include "crash/signal/stack_walk.h"
#include "crash/terminate_hook.h"
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

struct CaptureState {
  std::mutex mutex;
  // Set up at least once: a host that leaves crashes to its own reporter never calls setup.
  std::atomic<bool> capturing{false};
  bool toldNoDirectory = false;
};

CaptureState& capture() {
  static NoDestructor<CaptureState> state;
  return state.get();
}

// What the handlers need ready before a fault: the hashes, the loaded modules, the unwinder.
void prepareForFaults(CaptureState& state) {
  if (!state.capturing) {
    for (const int signal : kHandledSignals) {
      const std::string number = std::to_string(signal);
      FatalSignal::setHash(signal, Common::md5(number));
    }
    StackWalk::prepare();
  }
  LoadedModules::refresh();
}

void installSignalHandlers() {
  for (const int signal : kHandledSignals) {
    switch (SignalChain::install(signal, &FatalSignal::handle)) {
      case SignalChain::Installed::failed:
        Logger::warning("Cannot install the handler for signal " + std::to_string(signal));
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
  prepareForFaults(state);
  state.capturing = true;
  prepareCrashFile();
  TerminateHook::install();
  AlternateStack::ensure();
  installSignalHandlers();
}

// Called with the capture lock held, at every start of work. Cheap while this process's crash
// file is open in the documents directory; otherwise the files that processes which are gone
// left there are imported and ours is made (again: it may have failed before, or the
// directory changed, or this is a forked child whose file is still the parent's).
void Crashlytics::prepareCrashFile() {
  auto& state = capture();
  const std::optional<std::string> directory = platform::documentsDirectory().path();
  if (!directory) {
    OwnCrashFile::close();
    if (!state.toldNoDirectory) {
      Logger::log("No documents directory: crashes of this process are not recorded");
    }
    state.toldNoDirectory = true;
    return;
  }
  state.toldNoDirectory = false;
  if (OwnCrashFile::directory() != directory) {
    if (const auto record = CrashInbox::take(*directory)) saveCrashLog(record->text, record->hash);
    if (!OwnCrashFile::open(*directory)) {
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

void Crashlytics::atLibraryCall() {
  CrashWatch::settleIfAnyOpen();
  if (capture().capturing) LoadedModules::refresh();
}

void Crashlytics::forget() {
  StorageHelper::shared().deleteValue(kLastCrash);
  StorageHelper::shared().deleteValue(kLastCrashHash);
  // The crash files processes that are gone left, and those still waiting for the store to
  // write their record: the forgotten installation's, never read.
  if (const auto directory = platform::documentsDirectory().path()) CrashInbox::take(*directory);
  CrashInbox::storeWritten();
}

bool Crashlytics::saveCrashLog(const std::string& text, const std::string& hash) {
  StorageHelper::shared().save(text, kLastCrash);
  StorageHelper::shared().save(hash, kLastCrashHash);
  if (platform::preferencesStore().flush()) {
    CrashInbox::storeWritten();
    return true;
  }
  Logger::warning("The crash record could not be written to storage");
  return false;
}

void Crashlytics::check() {
  {
    std::lock_guard lock(capture().mutex);
    if (capture().capturing) {
      prepareCrashFile();
      LoadedModules::refresh();
    }
  }
  const std::optional<std::string> text = StorageHelper::shared().getValue(kLastCrash);
  if (!text || text->empty()) return;
  const std::optional<std::string> hash = StorageHelper::shared().getValue(kLastCrashHash);
  // The hash is the stored text's; the frames are named now, while the modules are most likely
  // the ones that crashed.
  sendCrashLogToServer(FrameSymbols::resolve(*text), hash ? *hash : Common::md5(*text));
}

void Crashlytics::recordError(const std::string& name, const std::string& stackTrace) {
  if (!TrackingConsent::records()) return Logger::log("Tracking is off: the error is not recorded");
  // Kept for the next accepted authentication while nothing may leave (offline, consent pending).
  const bool authenticated = StorageHelper::shared().getAuthData().has_value();
  const std::string hash = Common::md5(name);
  if (authenticated && TrackingConsent::isEnabled()) {
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
