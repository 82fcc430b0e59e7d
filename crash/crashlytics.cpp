#include "crash/crashlytics.h"

#include <array>
#include <atomic>
#include <mutex>
#include <optional>

#include "core/common.h"
#include "core/logger.h"
#include "crash/crash_file.h"
#include "crash/exception_report.h"
#include "crash/fatal_record_sink.h"
#include "crash/signal_chain.h"
#include "device/device_info.h"
#include "net/http_client.h"
#include "net/result_data.h"
#include "session/storage_helper.h"
#include "tavrel_mmp/platform/device_facts.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp {
namespace {

constexpr const char* kCrashKey = "TavrelMMP_last_crash";
constexpr const char* kCrashHashKey = "TavrelMMP_last_crash_hash";
constexpr const char* kCrashLogPath = "/partner/crash/log";
constexpr std::array<int, 5> kHandledSignals = {SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS};

// Process-long capture state; the signal records are read from signal context, so they are
// built before the first handler is installed and never change or go away.
struct CaptureState {
  std::mutex mutex;
  bool signalRecordsReady = false;
  std::array<std::string, kHandledSignals.size()> signalRecords;
  bool directoryChecked = false;
  std::optional<std::string> directory;
  std::atomic<std::terminate_handler> previousTerminate{nullptr};
};

CaptureState& capture() {
  static auto* state = new CaptureState();
  return *state;
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

}  // namespace

void Crashlytics::setup() {
  try {
    auto& state = capture();
    std::lock_guard lock(state.mutex);
    prepareSignalRecords(state);
    takeOverCrashFile();

    const std::terminate_handler current = std::get_terminate();
    if (current != &Crashlytics::onTerminate) {
      state.previousTerminate = current;
      std::set_terminate(&Crashlytics::onTerminate);
    }
    SignalChain::ensureAlternateStack();
    for (int signal : kHandledSignals) {
      if (!SignalChain::install(signal, &Crashlytics::onSignal)) {
        Logger::log("Cannot install the handler for signal " + std::to_string(signal));
      }
    }
  } catch (...) {
    // Nothing reaches the host.
  }
}

// Called with the capture lock held. Only when the documents directory is new to this
// process: the crash file there is the previous process's, later it is our own.
void Crashlytics::takeOverCrashFile() {
  auto& state = capture();
  const std::optional<std::string> directory = platform::documentsDirectory().path();
  if (state.directoryChecked && directory == state.directory) return;
  state.directoryChecked = true;
  state.directory = directory;
  if (!directory) {
    FatalRecordSink::close();
    Logger::log("No documents directory: crashes of this process are not recorded");
    return;
  }

  const std::string path = CrashFile::pathIn(*directory);
  const CrashFile::Taken taken = CrashFile::take(path);
  if (taken.found == CrashFile::Found::complete) {
    saveCrashLog(taken.record->text, taken.record->hash);
  } else if (taken.found == CrashFile::Found::damaged) {
    Logger::log("Discarded an incomplete crash record");
  }
  if (!FatalRecordSink::open(path)) Logger::log("Cannot prepare the crash file " + path);
}

void Crashlytics::onTerminate() {
  handleException(std::current_exception());
  const std::terminate_handler previous = capture().previousTerminate.load();
  if (previous != nullptr && previous != &Crashlytics::onTerminate) previous();
  std::abort();
}

void Crashlytics::handleException(const std::exception_ptr& exception) {
  try {
    const ExceptionReport report = describeException(exception);
    const std::string text =
        "Unhandled exception: " + report.description + "\n" + currentStackSymbols();
    const std::string bytes =
        CrashFile::encode({text, Common::md5(std::to_string(report.hashValue))});
    FatalRecordSink::writeOnce(bytes.data(), bytes.size());
  } catch (...) {
    // The process ends anyway; the terminate hook goes on with the previous handler.
  }
}

void Crashlytics::onSignal(int signal, siginfo_t* info, void* context) {
  if (!SignalChain::previousIgnores(signal, info)) signalHandler(signal);
  SignalChain::handOn(signal, info, context);
}

// Signal context: only the record prepared at setup, written by the sink.
void Crashlytics::signalHandler(int signal) {
  const auto& records = capture().signalRecords;
  for (std::size_t i = 0; i < kHandledSignals.size(); ++i) {
    if (kHandledSignals[i] == signal) {
      FatalRecordSink::writeOnce(records[i].data(), records[i].size());
      return;
    }
  }
}

bool Crashlytics::saveCrashLog(const std::string& text, const std::string& hash) {
  StorageHelper::shared().save(text, kCrashKey);
  StorageHelper::shared().save(hash, kCrashHashKey);
  if (platform::preferencesStore().flush()) return true;
  Logger::log("The crash record could not be written to storage");
  return false;
}

void Crashlytics::check() {
  try {
    const std::optional<std::string> text = StorageHelper::shared().getValue(kCrashKey);
    if (!text || text->empty()) return;
    const std::optional<std::string> hash = StorageHelper::shared().getValue(kCrashHashKey);
    sendCrashLogToServer(*text, hash ? *hash : Common::md5(*text));
  } catch (...) {
    // Nothing reaches the host.
  }
}

void Crashlytics::recordError(const std::string& name, const std::string& stackTrace) {
  try {
    const bool authenticated = StorageHelper::shared().getAuthData().has_value();
    const std::string hash = Common::md5(name);
    if (authenticated) {
      sendCrashLogToServer(stackTrace, hash);
    } else {
      saveCrashLog(stackTrace, hash);
    }
  } catch (...) {
    // Nothing reaches the host.
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
  HttpClient::shared().post(
      kCrashLogPath, body,
      [text, hash](std::optional<std::vector<std::uint8_t>> response,
                   std::optional<HttpError> error) {
        try {
          if (!response) {
            Logger::log(error ? error->description : "");
            saveCrashLog(text, hash);
            return;
          }
          std::string decodeError;
          const std::optional<ResultData> result = ResultData::decode(*response, &decodeError);
          if (!result) {
            Logger::log(decodeError);
            saveCrashLog(text, hash);
          } else if (result->responseCode >= 200 && result->responseCode <= 299) {
            saveCrashLog("", "");
          } else {
            Logger::log(result->responseText);
            saveCrashLog(text, hash);
          }
        } catch (...) {
          // The record stays as it was; the next authentication tries again.
        }
      });
}

}  // namespace tavrel_mmp
