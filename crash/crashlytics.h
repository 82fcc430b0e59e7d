#pragma once

#include <signal.h>

#include <exception>
#include <string>

namespace tavrel_mmp {

// The last fatal failure of the process, kept in the settings store until the service has it,
// and the host's handled errors.
class Crashlytics {
 public:
  // Imports the crash file a previous process left, prepares this process's one, and puts
  // the terminate hook and the fatal-signal handlers in front of the ones installed before.
  // Cheap when called again.
  static void setup();
  // Uploads the stored record, if there is one.
  static void check();
  // Uploads the host's report at once when authenticated, otherwise stores it for later.
  static void recordError(const std::string& name, const std::string& stackTrace);

 private:
  static void handleException(const std::exception_ptr& exception);
  static void signalHandler(int signal);
  static bool saveCrashLog(const std::string& text, const std::string& hash);
  static void sendCrashLogToServer(const std::string& text, const std::string& hash);

  static void onTerminate();
  static void onSignal(int signal, siginfo_t* info, void* context);
  static void takeOverCrashFile();
};

}  // namespace tavrel_mmp
